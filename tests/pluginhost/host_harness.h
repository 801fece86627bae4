// Runs copies of tavopluginhost.exe for the host's tests: an install folder of its own (the host and
// whichever fixture libraries a test puts beside it), a started host process that is always ended, and
// look-ups of the host's hidden window.
#pragma once

#include <windows.h>

#include <functional>
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

// Wine's universal marshaler finds a type library only under locale 0 of its registration
// ("TypeLib\{LIBID}\1.0\0\win32"); the host registers its library, as declared, under locale 1033
// (409), where Windows finds it. Without this alias a client cannot get the host's dual interfaces
// through their vtables under Wine (CoCreateInstance answers 0x80004005); it is a fix-up of the test
// machine, not of the host, and is removed again at the end of its scope.
class WineTypeLibAlias {
  public:
    explicit WineTypeLibAlias(const std::wstring& hostExe);
    ~WineTypeLibAlias();
    WineTypeLibAlias(const WineTypeLibAlias&) = delete;
    WineTypeLibAlias& operator=(const WineTypeLibAlias&) = delete;
    bool ok() const { return m_ok; }

  private:
    bool m_ok = false;
};

// The records, control and command files of the manager and companion test libraries, in a folder of
// the test's own, named to the libraries through the environment (which the host inherits, also when
// COM starts it).
struct ManagerFiles {
    TempFolder folder{L"tavo-host-files"};
    std::wstring managerLog = folder / L"manager.log";
    std::wstring control = folder / L"control.txt";
    std::wstring commands = folder / L"commands.txt";
    std::wstring companionLog = folder / L"companion.log";
    ScopedEnv logEnv{L"TAVO_MGR_LOG", managerLog.c_str()};
    ScopedEnv controlEnv{L"TAVO_MGR_CONTROL", control.c_str()};
    ScopedEnv commandsEnv{L"TAVO_MGR_COMMANDS", commands.c_str()};
    ScopedEnv companionEnv{L"TAVO_USREDT_LOG", companionLog.c_str()};

    bool Control(const std::string& text) { return WriteTextFile(control, text); }
    // Hands the manager commands to run on the host's main thread (written whole, then renamed into place).
    bool Command(const std::string& text);
    // Runs commands and waits until they ran: a "mark" line is appended and awaited, pumping messages.
    bool CommandAndWait(const std::string& text, DWORD timeoutMs = 20000);
    std::string ManagerLog() const { return ReadFileBytes(managerLog); }
    std::string CompanionLog() const { return ReadFileBytes(companionLog); }

  private:
    int m_marks = 0;
};

bool Contains(const std::string& text, const std::string& part);
size_t Count(const std::string& text, const std::string& part);
// Polls the condition every 50 ms for up to `timeoutMs`, pumping the thread's messages meanwhile (a
// single-threaded apartment receives calls that way).
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);

// The hidden window of the host process `pid`, waiting up to `timeoutMs` for it to appear.
HWND WaitForHelpWindow(DWORD pid, DWORD timeoutMs);

}  // namespace tavo::test
