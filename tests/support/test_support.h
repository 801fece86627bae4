// Helpers shared by the test programs: texts and lines as the tests compare them, registry look-ups,
// files and folders the tests own, the built programs beside the test program, and the records of the
// trace-library fixture.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <concepts>
#include <functional>
#include <string>
#include <vector>

namespace tavo::test {

// Whether the machine is 64-bit Windows, decided from the test program itself and not by the code under
// test: a 32-bit program runs under WoW64 exactly on 64-bit Windows. There the registry has two views and
// the 32-bit system libraries lie in the WoW64 system folder; 32-bit Windows has one view and no such folder.
bool SixtyFourBitWindows();

// A wide text cut to its low bytes (the tests' texts are ASCII). The pointer form reads up to the first
// zero and gives "" for a null pointer (a BSTR a COM method left null).
std::string Narrow(const std::wstring& text);
std::string Narrow(const wchar_t* text);
// A wide text in the ANSI code page, up to its first zero: what a narrow Windows function gives for it,
// and how a wide debug message arrives at a debug-output reader.
std::string Ansi(const std::wstring& text);

// The characters of a string object that hands them out through GetString() (the support library's
// CStringEx), as a std::wstring that compares with wide literals and prints in a failure.
template <typename String>
requires requires(const String& text) {
    { text.GetString() } -> std::convertible_to<const wchar_t*>;
}
std::wstring Text(const String& text) { return text.GetString(); }
// A string a COM method handed out: "null" for a null BSTR, otherwise all its characters (its length,
// not its first zero, ends it) cut to their low bytes, in double quotes; a null and an empty string differ.
inline std::string Text(BSTR text) {
    if (!text) return "null";
    return "\"" + std::string(text, text + SysStringLen(text)) + "\"";
}

// The lines of a program's output, "\r" dropped, without a last empty line.
std::vector<std::string> SplitLines(const std::string& text);

// Compares lines (a program's output, its debug messages, a record file) in order. A difference is
// reported once, at the first line that differs (counted from 1): the expected and the actual line, the
// two lines before it, and both line counts; every line is printed quoted with its escapes, so that a
// "\r" or a trailing blank shows. Use as EXPECT_TRUE(SameLines(actual, expected)).
::testing::AssertionResult SameLines(const std::vector<std::string>& actual,
                                     const std::vector<std::string>& expected);

// Whether a registry key exists, looked up in `view` (0, KEY_WOW64_64KEY or KEY_WOW64_32KEY) with the
// system's own functions: it opens for reading its values.
bool KeyExists(HKEY root, const std::wstring& subkey, REGSAM view = 0);

// Folder of the running test program (where every built program and fixture lies).
std::wstring BinFolder();
std::wstring BinPath(const std::wstring& relative);

// A uniquely named folder under the temporary folder, removed with its content on destruction.
class TempFolder {
  public:
    explicit TempFolder(const std::wstring& prefix = L"tavo-test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

  private:
    std::wstring m_path;
};

bool RemoveTree(const std::wstring& path);
// The names in a folder, without "." and "..", in the order the system lists them.
std::vector<std::wstring> FolderEntries(const std::wstring& folder);
// Calls `visit` with the path and listing entry of everything below `folder`, a folder before what is in
// it; a link (junction, symbolic link, mount point) is visited but not entered.
void VisitTree(const std::wstring& folder,
               const std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& entry)>& visit);
// The strings of PendingFileRenameOperations (pairs of a source and a target, empty for a deletion), and
// the value's removal.
std::vector<std::wstring> PendingRestartOperations();
void ClearPendingRestartOperations();
// Runs a command line to its end (at most `timeoutMs`) and gives its exit code, or the error that kept it
// from starting, or WAIT_TIMEOUT.
DWORD RunToEnd(const std::wstring& commandLine, DWORD timeoutMs = 120000);

// A link at `link` to `target` (a folder with `folder`, else a file): a symbolic link where the system
// makes one; under Wine (which answers TRUE and makes nothing) a Unix symbolic link inside the machine,
// made with the system's ln (started as \\?\unix\bin\ln). False when none could be made.
bool MakeLink(const std::wstring& link, const std::wstring& target, bool folder);
bool RunningUnderWine();

bool FileExists(const std::wstring& path);
bool WriteTextFile(const std::wstring& path, const std::string& content);
std::string ReadFileBytes(const std::wstring& path);
std::wstring TempFolderPath();  // GetTempPathW, with its trailing backslash

// Sets an environment variable for the lifetime of the object (children inherit it).
class ScopedEnv {
  public:
    ScopedEnv(const wchar_t* name, const wchar_t* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::wstring m_name;
    std::wstring m_old;
    bool m_hadOld;
};

// One call recorded by the trace-library fixture.
struct TraceRecord {
    std::string exportName;
    int level = 0;
    std::string tag;  // "(null)" for a null pointer
    int reserved = 0;
    std::string text;
};
std::vector<TraceRecord> ReadTraceRecords(const std::wstring& logPath);

// The user SID of a token, and of this process, in string form ("S-1-5-..."); empty when unreadable.
std::wstring SidOfToken(HANDLE token);
std::wstring OwnSid();

// Windows text mode writes "\n" as "\r\n": give the output back with plain line feeds.
std::string Unix(const std::string& text);

}  // namespace tavo::test
