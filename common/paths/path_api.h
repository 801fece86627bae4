// The product's folders and the install root. The operations behave as free functions.
#pragma once

#include <windows.h>

#include "strings/string_ex.h"

class CPathApi {
  public:
    CPathApi() = default;
    virtual ~CPathApi() = default;

    // Folder of `module`'s file joined with `fileName`; `out` is left alone when `fileName` is null.
    static BOOL GetResFilePath(HMODULE module, const wchar_t* fileName, CStringEx& out);
    // The install root: "Path" of the product key (machine, 32-bit view; then per-user), else the folder of
    // the registered plug-in host. Always true; `out` may be empty.
    static BOOL GetTavoRootPath(CStringEx& out);
    // Makes sure every folder of `path` exists; `path` gets a trailing backslash. False only when the
    // path has no folder component.
    static BOOL CreateDirectoryPath(CStringEx& path);
    // %APPDATA%\Velnor\Plugins\<file> into `buffer` (MAX_PATH characters), creating the two folders.
    // Returns the length of the folder path, or 0 (buffer emptied when it is not null).
    static int GetAppDataPluginsPath(const wchar_t* file, wchar_t* buffer);
    static BOOL GetDownloadedProgramFilesPath(CStringEx& out);
    // Only on Windows NT 6.0 or later.
    static BOOL GetProgramDataPath(CStringEx& out);
    static BOOL GetSystemPath(CStringEx& out);
    // True with an empty path when the folder lookup fails.
    static BOOL GetAppDataPath(CStringEx& out);
    static BOOL GetWindowsTempPath(CStringEx& out);
    static BOOL IsDirectoryExist(const wchar_t* path);
    // "msitype" of HKLM\SOFTWARE\Velnor\Plugins (32-bit view) is a REG_DWORD.
    static BOOL IsMsiTypePresent();
    // A hidden delete-on-close file can be created in `folder`.
    static BOOL CanWriteFolder(const wchar_t* folder);
};

// Whether a folder may be deleted with everything in it, as an administrator, on a path that others can
// write (a registry value): only an existing local folder that is not itself a link, and is none of the
// folders below, nor a folder above one of them.
enum class FolderVerdict {
    kDeletable,
    kMissing,           // an absolute local path where nothing is
    kNotAbsoluteLocal,  // relative, drive-relative, a device path, too long, or of an unknown drive
    kNetworkPath,       // "\\server\share\...", "\\?\..." or a network drive
    kNotAFolder,        // a file, or something that cannot be read
    kLink,              // a junction, directory symbolic link or mount point (judged by the attribute)
    kDriveRoot,
    kSystemFolder,     // the Windows or a system folder, a folder inside one, or above one
    kProtectedFolder,  // Program Files (both), ProgramData, Users, a user profile or one of its well-known
                       // folders, the temporary folder, the shell's known folders, or a folder above one
};
// The verdict for `path` as it stands (no environment expansion). A link on the way to the folder is
// followed for the judgement: the folder it really is must pass, too.
FolderVerdict JudgeFolderForDeletion(const wchar_t* path);
// Why a folder is not deleted, as it completes "... is " in a sentence.
const wchar_t* FolderVerdictText(FolderVerdict verdict);
