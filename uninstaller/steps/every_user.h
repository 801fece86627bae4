// The pieces of CleanupEveryUser: where a user's Programs folder lies, judged from that user's own hive.
#pragma once

#include <windows.h>

#include <string>

// What became of the search for a user's Programs folder.
enum class ProgramsFolderVerdict {
    kFound,           // a folder inside the profile, no link on the way: `path` is it
    kMissing,         // no such folder (nothing of the suite can be there)
    kOutsideProfile,  // the hive names a place outside the profile folder, or one that cannot be read
    kThroughLink,     // a link lies between the profile folder and the Programs folder (or is either)
};

struct ProgramsFolder {
    ProgramsFolderVerdict verdict = ProgramsFolderVerdict::kMissing;
    std::wstring path;  // as judged (empty when the hive named nothing readable)
};

// The user's Programs folder: the "Programs" value of the hive's "User Shell Folders" (with %USERPROFILE%
// as `profile` and %APPDATA% as the hive's own "AppData", itself taken the same way; any other reference
// makes the value unusable), else the system's default under `profile`. The hive is the user's to write: the
// folder is taken only when it lies inside `profile` and no link stands on the way from `profile` to it.
ProgramsFolder UserProgramsFolder(HKEY hive, const std::wstring& profile);
