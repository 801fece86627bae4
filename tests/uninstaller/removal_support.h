// What the removal tests share: the machine they delete in, its whole file listing, the uninstaller's
// console output caught in a file, and folder links as the machine can make them.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <set>
#include <string>

namespace removal {

// Whether the machine has drive C: only (the sealed test machine): tests that delete run nowhere else.
bool OnlyDriveC();

// Every file and folder path under C:\, links listed but never followed.
std::set<std::wstring> ListMachine();
// The paths in one listing but not the other, except `folders` and what lies inside them.
std::set<std::wstring> ChangedOutside(const std::set<std::wstring>& before,
                                      const std::set<std::wstring>& after,
                                      std::initializer_list<std::wstring> folders = {});

// Standard output of this process (the uninstaller's console) goes to a file until Stop, which gives it
// back as UTF-8 with plain line feeds.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string Stop();

  private:
    std::wstring m_path;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    HANDLE m_saved = nullptr;
};

std::string Utf8(const std::wstring& text);

// A link to the folder `target`: a directory symbolic link where the system makes one; under Wine (which
// answers TRUE and makes nothing) a Unix symbolic link inside the machine, made with the system's ln.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);
// The same for a file.
bool MakeFileLink(const std::wstring& link, const std::wstring& target);

bool RunningUnderWine();

}  // namespace removal
