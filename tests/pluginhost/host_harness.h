// Runs copies of tavopluginhost.exe for the host's tests: an install folder of its own (the host and
// whichever fixture libraries a test puts beside it), a started host process that is always ended, and
// look-ups of the host's hidden window.
#pragma once

#include <windows.h>

#include <string>

#include "test_support.h"

namespace tavo::test {

inline constexpr wchar_t kHelpWndClass[] = L"TAVO_HELP_TRANSFERWND_D7294E1B-6A08-4C53-9F2E-1B8A5C0D3E47";
inline constexpr wchar_t kUpdaterClass[] = L"TAVO_UPDATE_0F8B2A64-D93C-4E17-B5A0-7C3E1D9F6B28";

// A folder holding a copy of the host; removed with everything in it.
class HostInstall {
  public:
    // `prefix` names the folder (a blank in it checks the quoting of paths).
    explicit HostInstall(const std::wstring& prefix = L"tavo host");
    const std::wstring& folder() const { return m_folder.path(); }
    std::wstring exe() const { return m_folder / L"tavopluginhost.exe"; }
    // Copies a built file (relative to the test programs' folder) into the install folder as `name`.
    bool Add(const std::wstring& builtRelative, const std::wstring& name);

  private:
    TempFolder m_folder;
};

// A host process started by the test; terminated on destruction if it still runs.
class HostProcess {
  public:
    HostProcess() = default;
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool Start(const std::wstring& exe, const std::wstring& arguments = L"");
    // Adopts a host started by somebody else (COM): the first running process of that image path.
    bool Adopt(const std::wstring& exe, DWORD timeoutMs);
    // True when the process ended within the time; its exit code is then in exitCode().
    bool WaitExit(DWORD timeoutMs);
    bool Running() const;
    DWORD exitCode() const { return m_exitCode; }
    DWORD pid() const { return m_pid; }
    HANDLE handle() const { return m_process; }

  private:
    HANDLE m_process = nullptr;
    DWORD m_pid = 0;
    DWORD m_exitCode = STILL_ACTIVE;
};

// Runs the host to its end and gives its full exit code (0xDEADBEEF when it did not end in time).
DWORD RunHostToEnd(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs = 60000);

// The hidden window of the host process `pid`, waiting up to `timeoutMs` for it to appear.
HWND WaitForHelpWindow(DWORD pid, DWORD timeoutMs);

}  // namespace tavo::test
