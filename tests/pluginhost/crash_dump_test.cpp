#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <dbghelp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "crash/crash_dump.h"
#include "debug_capture.h"
#include "support/scoped.h"
#include "test_support.h"

namespace {

using tavo::crash::MiniDumpTypeFor;
using tavo::test::Narrow;
using tavo::test::SplitLines;
using tavo::test::TempFolder;

constexpr DWORD Version(WORD major, WORD minor) { return MAKELONG(minor, major); }

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

std::wstring DumpPath(const wchar_t* folder, const wchar_t* exe, const SYSTEMTIME& time, BOOL* ok = nullptr) {
    wchar_t path[tavo::crash::kDumpPathBuffer];
    wmemset(path, L'#', tavo::crash::kDumpPathBuffer);
    const BOOL result = tavo::crash::BuildDumpFilePath(folder, exe, time, path);
    if (ok) *ok = result;
    return path;
}

// ---- Pure parts ----

TEST(CrashDumpType, FollowsTheDbghelpAndWindowsVersions) {
    // dbghelp 5.1 (Windows XP's own) knows none of the extra flags.
    EXPECT_EQ(MiniDumpTypeFor(Version(5, 1), 5, 1), 0u);
    EXPECT_EQ(MiniDumpTypeFor(Version(5, 1), 6, 1), 0u);
    // 6.1 and later on Windows 7: thread info, unloaded modules, handle data.
    EXPECT_EQ(MiniDumpTypeFor(Version(6, 1), 6, 1), 0x1024u);
    EXPECT_EQ(MiniDumpTypeFor(Version(10, 0), 6, 1), 0x1024u);
    EXPECT_EQ(MiniDumpTypeFor(Version(6, 12), 10, 0), 0x1024u);
    // 6.0: no thread info.
    EXPECT_EQ(MiniDumpTypeFor(Version(6, 0), 6, 1), 0x24u);
    // Windows 2000 (5.0) has no unloaded-module list.
    EXPECT_EQ(MiniDumpTypeFor(Version(6, 1), 5, 0), 0x1004u);
    EXPECT_EQ(MiniDumpTypeFor(Version(5, 0), 5, 0), 0x4u);
    EXPECT_EQ(MiniDumpTypeFor(Version(5, 2), 5, 1), 0x24u);
    // A version that could not be read gives the plainest dump.
    EXPECT_EQ(MiniDumpTypeFor(0, 6, 1), 0u);
}

TEST(CrashDumpName, JoinsFolderExecutableAndUtcTime) {
    const SYSTEMTIME time = Time(2024, 3, 7, 9, 5, 1);
    EXPECT_EQ(DumpPath(L"C:\\Temp\\", L"tavopluginhost.exe", time),
              L"C:\\Temp\\vlrappcrash_tavopluginhost.exe_20240307090501.dmp");
    EXPECT_EQ(DumpPath(L"C:\\Temp", L"tavopluginhost.exe", time),
              L"C:\\Temp\\vlrappcrash_tavopluginhost.exe_20240307090501.dmp");
    // Without the executable's name.
    EXPECT_EQ(DumpPath(L"C:\\Temp\\", nullptr, time), L"C:\\Temp\\vlrappcrash_20240307090501.dmp");
    EXPECT_EQ(DumpPath(L"C:\\Temp\\", L"", time), L"C:\\Temp\\vlrappcrash_20240307090501.dmp");
}

TEST(CrashDumpName, CutsALongExecutableNameAndKeepsTheTimeAndExtension) {
    const SYSTEMTIME time = Time(2031, 12, 31, 23, 59, 58);
    const std::wstring exe = std::wstring(250, L'n') + L".exe";  // the longest a file name may be
    // Short folder: the name alone is limited by its 256-character buffer.
    BOOL ok = FALSE;
    std::wstring path = DumpPath(L"C:\\", exe.c_str(), time, &ok);
    EXPECT_TRUE(ok);
    const std::wstring name = path.substr(3);
    EXPECT_EQ(name.size(), 255u);
    EXPECT_EQ(name, L"vlrappcrash_" + exe.substr(0, 224) + L"_20311231235958.dmp");

    // Long folder: the joined path is limited to MAX_PATH.
    const std::wstring folder = L"C:\\" + std::wstring(100, L'f') + L"\\";
    path = DumpPath(folder.c_str(), exe.c_str(), time, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(path.size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_EQ(path, folder + L"vlrappcrash_" + exe.substr(0, 124) + L"_20311231235958.dmp");

    // No room for any of the executable's name: the name without it.
    const std::wstring deep = L"C:\\" + std::wstring(224, L'd') + L"\\";
    path = DumpPath(deep.c_str(), exe.c_str(), time, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(path, deep + L"vlrappcrash_20311231235958.dmp");

    // A folder that leaves no room for a name at all: no path (and nothing written past the buffer).
    const std::wstring deeper = L"C:\\" + std::wstring(230, L'd') + L"\\";
    path = DumpPath(deeper.c_str(), exe.c_str(), time, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(path, L"");
}

// ---- Folder search (no debug messages on these paths) ----

TEST(CrashDumpName, ATakenNameGetsANumberBeforeItsExtension) {
    wchar_t numbered[tavo::crash::kDumpPathBuffer];
    EXPECT_TRUE(tavo::crash::NumberedDumpPath(L"C:\\t\\vlrappcrash_h.exe_20260102030405.dmp", 2, numbered));
    EXPECT_STREQ(L"C:\\t\\vlrappcrash_h.exe_20260102030405_2.dmp", numbered);
    EXPECT_FALSE(tavo::crash::NumberedDumpPath(L"C:\\t\\dump.txt", 2, numbered));
    EXPECT_FALSE(tavo::crash::NumberedDumpPath(nullptr, 2, numbered));
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 8, L'a') + L".dmp";  // MAX_PATH - 1
    EXPECT_FALSE(tavo::crash::NumberedDumpPath(longest.c_str(), 2, numbered));
}

TEST(CrashWritableFolder, MissingFolderIsNotWritableAndTempIs) {
    TempFolder folder(L"tavo-crash");
    EXPECT_FALSE(Exception_IsFolderWritable((folder / L"missing").c_str()));
    EXPECT_FALSE(Exception_IsFolderWritable(nullptr));
    EXPECT_TRUE(Exception_IsFolderWritable(folder.path().c_str()));

    // The first candidate is the temporary folder, as GetTempPathW gives it.
    wchar_t found[MAX_PATH] = {};
    EXPECT_TRUE(FindWritablePath(MAX_PATH, found));
    EXPECT_EQ(std::wstring(found), tavo::test::TempFolderPath());
}

TEST(CrashWritableFolder, ShortBufferGetsNoFolderAndNoOverrun) {
    // Every candidate is longer than 8 characters; nothing may be written into or past the buffer.
    wchar_t buffer[64];
    wmemset(buffer, L'#', 64);
    EXPECT_FALSE(FindWritablePath(8, buffer));
    for (wchar_t c : buffer) ASSERT_EQ(c, L'#');
    EXPECT_FALSE(FindWritablePath(0, buffer));
    EXPECT_FALSE(FindWritablePath(MAX_PATH, nullptr));
}

// ---- The handler in a process of its own ----

struct ProbeRun {
    tavo::capture::Result result;
    std::vector<std::string> output;
    std::vector<std::string> debug;
};

ProbeRun RunProbe(const std::wstring& exe, const std::wstring& arguments) {
    tavo::capture::Options options;
    options.commandLine = L"\"" + exe + L"\" " + arguments;
    ProbeRun run;
    run.result = tavo::capture::Run(options);
    run.output = SplitLines(run.result.output);
    run.debug = run.result.TextsOf(run.result.pid);
    return run;
}

std::wstring ProbeExe() { return tavo::test::BinPath(L"crash_probe.exe"); }

std::string TimeDigits(const SYSTEMTIME& t) {
    char text[32];
    snprintf(text, sizeof(text), "%04u%02u%02u%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return text;
}

// The dump path the probe printed must be folder + "vlrappcrash_" + exePart + "_" + a time between the two
// given moments + ".dmp".
void ExpectDumpPath(const std::string& printed, const std::string& prefix, const SYSTEMTIME& before,
                    const SYSTEMTIME& after) {
    ASSERT_EQ(printed.size(), prefix.size() + 14 + 4) << printed;
    EXPECT_EQ(printed.substr(0, prefix.size()), prefix);
    EXPECT_EQ(printed.substr(printed.size() - 4), ".dmp");
    const std::string digits = printed.substr(prefix.size(), 14);
    EXPECT_GE(digits, TimeDigits(before));
    EXPECT_LE(digits, TimeDigits(after));
}

// The version numbers the handler logs, read here on their own.
std::string ExpectedParametersLine() {
    HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(dbghelp, path, MAX_PATH);
    DWORD versionMS = 0;
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path, &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!block.empty() && GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()) &&
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed)
        versionMS = fixed->dwFileVersionMS;
    FreeLibrary(dbghelp);
    OSVERSIONINFOW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    GetVersionExW(&os);
    char line[200];
    snprintf(
        line, sizeof(line),
        "MiniDumpWriteDump Parameters [MimiType:%lu] [MajorVer:%u] [MinorVer:%u] [OS.MajorVersion:%lu]\r\n",
        MiniDumpTypeFor(versionMS, os.dwMajorVersion, os.dwMinorVersion), HIWORD(versionMS),
        LOWORD(versionMS), os.dwMajorVersion);
    return line;
}

// "MiniDumpWriteDump [r] err [e]\r\n": returns r, or -1 when the line has another shape.
int WriteResultOf(const std::string& line) {
    int result = -1;
    unsigned error = 0;
    char end[4] = {};
    if (sscanf(line.c_str(), "MiniDumpWriteDump [%d] err [%u]%3c", &result, &error, end) != 3) return -1;
    return std::string(end) == "\r\n" ? result : -1;
}

// Reads the exception stream of a dump file back with dbghelp.
void ExpectExceptionStream(const std::wstring& dumpPath, DWORD threadId) {
    tavo::ScopedHandle file(
        CreateFileW(dumpPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    tavo::ScopedHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    ASSERT_TRUE(mapping.valid());
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    const BOOL found = MiniDumpReadDumpStream(view, ExceptionStream, &directory, &stream, &size);
    EXPECT_TRUE(found);
    if (found) {
        const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
        EXPECT_EQ(exception->ThreadId, threadId);
        EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, static_cast<ULONG32>(EXCEPTION_ACCESS_VIOLATION));
        EXPECT_EQ(exception->ExceptionRecord.NumberParameters, 2u);
        EXPECT_EQ(exception->ExceptionRecord.ExceptionInformation[1], 0x1234u);
    }
    UnmapViewOfFile(view);
}

// A folder whose DACL denies everyone the writing of files, with a "Low" subfolder that keeps the ordinary
// DACL: what a low-integrity process sees of its temporary folder.
void DenyWriting(const std::wstring& folder) {
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\Low").c_str(), nullptr));
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    EXPLICIT_ACCESSW entries[2] = {};
    entries[0].grfAccessPermissions = FILE_WRITE_DATA | FILE_APPEND_DATA;
    entries[0].grfAccessMode = DENY_ACCESS;
    entries[1].grfAccessPermissions = GENERIC_ALL;
    entries[1].grfAccessMode = GRANT_ACCESS;
    for (EXPLICIT_ACCESSW& entry : entries) {
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    }
    PACL acl = nullptr;
    EXPECT_EQ(SetEntriesInAclW(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    std::wstring name = folder;
    EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(acl);
    FreeSid(everyone);
}

// Whether the platform refuses the creation of a file in the folder (Wine stores the DACL but does not
// apply it when files are opened).
bool CreationRefused(const std::wstring& folder) {
    const std::wstring probe = folder + L"\\created.txt";
    tavo::ScopedHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return !file && GetLastError() == ERROR_ACCESS_DENIED;
}

// Gives the folder back an ordinary inherited DACL so that it can be removed.
void AllowWriting(const std::wstring& folder) {
    std::wstring name = folder;
    ACL empty = {};
    InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
    SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          &empty, nullptr);
}

// Sets a value under HKCU for the lifetime of the object and puts back what was there (or removes it).
class ScopedUserValue {
  public:
    ScopedUserValue(const wchar_t* subkey, const wchar_t* name, DWORD type, const std::wstring& text)
        : m_subkey(subkey), m_name(name) {
        tavo::ScopedRegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
            DWORD bytes = 0;
            if (RegQueryValueExW(key.get(), name, nullptr, &m_oldType, nullptr, &bytes) == ERROR_SUCCESS) {
                m_old.resize(bytes);
                m_hadOld = RegQueryValueExW(key.get(), name, nullptr, &m_oldType, m_old.data(), &bytes) ==
                           ERROR_SUCCESS;
            }
        }
        Write(type, reinterpret_cast<const BYTE*>(text.c_str()),
              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    ~ScopedUserValue() {
        if (m_hadOld) {
            Write(m_oldType, m_old.data(), static_cast<DWORD>(m_old.size()));
        } else {
            tavo::ScopedRegKey key;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, m_subkey.c_str(), 0, KEY_SET_VALUE, key.put()) ==
                ERROR_SUCCESS)
                RegDeleteValueW(key.get(), m_name.c_str());
        }
    }
    ScopedUserValue(const ScopedUserValue&) = delete;
    ScopedUserValue& operator=(const ScopedUserValue&) = delete;

  private:
    void Write(DWORD type, const BYTE* data, DWORD bytes) {
        tavo::ScopedRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, m_subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key.get(), m_name.c_str(), 0, type, data, bytes), ERROR_SUCCESS);
    }

    std::wstring m_subkey;
    std::wstring m_name;
    bool m_hadOld = false;
    DWORD m_oldType = 0;
    std::vector<BYTE> m_old;
};

constexpr wchar_t kUserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool IsEmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    tavo::ScopedFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return false;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) return false;
    } while (FindNextFileW(find.get(), &data));
    return true;
}

TEST(CrashWritableFolder, FallsBackToTheInternetCacheAndItsLowFolder) {
    TempFolder cache(L"tavo-cache");
    const std::wstring missingTemp = cache / L"missing-temp";
    tavo::test::ScopedEnv tmp(L"TMP", missingTemp.c_str());
    tavo::test::ScopedEnv tempVariable(L"TEMP", missingTemp.c_str());
    ScopedUserValue userCache(kUserShellFolders, L"Cache", REG_EXPAND_SZ, cache.path());
    ScopedUserValue shellCache(kShellFolders, L"Cache", REG_SZ, cache.path());
    wchar_t found[MAX_PATH] = {};
    EXPECT_TRUE(FindWritablePath(MAX_PATH, found));
    EXPECT_EQ(std::wstring(found), cache.path());

    DenyWriting(cache.path());
    EXPECT_TRUE(FindWritablePath(MAX_PATH, found));
    EXPECT_EQ(std::wstring(found), cache / L"Low");
    AllowWriting(cache.path());
}

TEST(CrashHandler, NoWritableFolderLeavesNoFileAndStillEndsWith13) {
    TempFolder temp(L"tavo-crash");
    const std::wstring missingTemp = temp / L"missing-temp";
    const std::wstring missingCache = temp / L"missing-cache";
    ProbeRun run;
    {
        tavo::test::ScopedEnv tmp(L"TMP", missingTemp.c_str());
        tavo::test::ScopedEnv tempVariable(L"TEMP", missingTemp.c_str());
        // The shell takes the Temporary Internet Files folder from "User Shell Folders" and copies what it
        // found to "Shell Folders": both are set, and both put back afterwards.
        ScopedUserValue userCache(kUserShellFolders, L"Cache", REG_EXPAND_SZ, missingCache);
        ScopedUserValue cache(kShellFolders, L"Cache", REG_SZ, missingCache);
        wchar_t found[MAX_PATH] = {};
        EXPECT_FALSE(FindWritablePath(MAX_PATH, found));
        EXPECT_STREQ(found, L"");
        run = RunProbe(ProbeExe(), L"crash");
    }
    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(run.result.exitCode, kCrashExitCode);
    ASSERT_EQ(run.output.size(), 1u) << run.result.output;  // no dump path
    EXPECT_EQ(run.output[0].rfind("installed=1 thread=", 0), 0u) << run.output[0];
    EXPECT_TRUE(tavo::test::SameLines(run.debug, {"Find writable path failed\r\n"}));
    EXPECT_TRUE(IsEmptyFolder(temp.path()));
}

TEST(CrashHandler, WriterFailuresAndTheFilterPutBackAtExit) {
    TempFolder temp(L"tavo-crash");
    const ProbeRun run = RunProbe(ProbeExe(), L"dump \"" + temp.path() + L"\"");
    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(run.result.exitCode, 0u);
    const std::string folder = Narrow(temp.path());
    ASSERT_EQ(run.output.size(), 12u) << run.result.output;
    EXPECT_EQ(run.output[0], "no-module=0");
    EXPECT_EQ(run.output[1], "no-export=0");
    EXPECT_EQ(run.output[2], "exists=0");  // nothing was created before dbghelp's function was found
    EXPECT_EQ(run.output[3], folder + "\\missing\\probe.dmp");
    EXPECT_EQ(run.output[4], "no-folder=0");
    EXPECT_EQ(run.output[5], folder + "\\probe.dmp");
    // The writer closes the file whatever MiniDumpWriteDump did; the caller decides about deleting it.
    EXPECT_EQ(run.output[7], "deleted=1");
    EXPECT_EQ(run.output[8], folder + "\\probe.dmp");
    EXPECT_EQ(run.output[9], "planted=0");
    EXPECT_EQ(run.output[10], "kept=7");
    EXPECT_EQ(run.output[11], "exit filter restored=1");

    ASSERT_EQ(run.debug.size(), 5u);
    EXPECT_EQ(run.debug[4], "Create Crash MiniDump File [" + folder + "\\probe.dmp] failed, err [80]\r\n");
    EXPECT_EQ(run.debug[0], "DBGMiniDump GetProcAddress Failed");
    EXPECT_EQ(run.debug[1],
              "Create Crash MiniDump File [" + folder + "\\missing\\probe.dmp] failed, err [3]\r\n");
    EXPECT_EQ(run.debug[2], ExpectedParametersLine());
    const int written = WriteResultOf(run.debug[3]);
    EXPECT_TRUE(written == 0 || written == 1) << run.debug[3];
    EXPECT_EQ(run.output[6], "written=" + std::to_string(written));
}

TEST(CrashHandler, LongExecutableNameIsCutSoTheDumpPathFits) {
    TempFolder temp(L"tavo-crash");
    const std::wstring exeName = std::wstring(200, L'n') + L".exe";
    const std::wstring exe = temp / exeName;
    ASSERT_TRUE(CopyFileW(ProbeExe().c_str(), exe.c_str(), TRUE));
    const std::wstring folder = temp.path() + L"\\";
    SYSTEMTIME before = {};
    GetSystemTime(&before);
    ProbeRun run;
    {
        tavo::test::ScopedEnv tmp(L"TMP", folder.c_str());
        tavo::test::ScopedEnv tempVariable(L"TEMP", folder.c_str());
        run = RunProbe(exe, L"crash");
    }
    SYSTEMTIME after = {};
    GetSystemTime(&after);
    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(run.result.exitCode, kCrashExitCode);
    ASSERT_EQ(run.output.size(), 2u) << run.result.output;
    // The path takes all of MAX_PATH but its terminator: the name keeps as much of the executable's name as
    // fits.
    const size_t kept = (MAX_PATH - 1) - folder.size() - (12 + 1 + 14 + 4);
    ASSERT_LT(kept, exeName.size());
    ExpectDumpPath(run.output[1], Narrow(folder) + "vlrappcrash_" + Narrow(exeName.substr(0, kept)) + "_",
                   before, after);
    EXPECT_EQ(run.output[1].size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_EQ(run.debug.size(), 2u);
}

TEST(CrashHandler, UnhandledExceptionWritesTheDumpIntoLowAndEndsWith13) {
    TempFolder temp(L"tavo-crash");
    DenyWriting(temp.path());
    const std::wstring low = temp / L"Low";
    printf("creating a file in the folder that denies writing: %s\n",
           CreationRefused(temp.path()) ? "refused" : "allowed");
    // The access check reads the folder's DACL, so the temporary folder is passed over for "Low".
    EXPECT_FALSE(Exception_IsFolderWritable(temp.path().c_str()));
    EXPECT_TRUE(Exception_IsFolderWritable(low.c_str()));
    SYSTEMTIME before = {};
    GetSystemTime(&before);
    ProbeRun run;
    {
        tavo::test::ScopedEnv tmp(L"TMP", (temp.path() + L"\\").c_str());
        tavo::test::ScopedEnv tempVariable(L"TEMP", (temp.path() + L"\\").c_str());
        run = RunProbe(ProbeExe(), L"crash");
    }
    SYSTEMTIME after = {};
    GetSystemTime(&after);
    AllowWriting(temp.path());

    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(run.result.exitCode, kCrashExitCode);
    ASSERT_EQ(run.output.size(), 2u) << run.result.output;
    DWORD threadId = 0;
    EXPECT_EQ(sscanf(run.output[0].c_str(), "installed=1 thread=%lu", &threadId), 1) << run.output[0];
    const std::string prefix = Narrow(low) + "\\vlrappcrash_crash_probe.exe_";
    ExpectDumpPath(run.output[1], prefix, before, after);

    ASSERT_EQ(run.debug.size(), 2u);
    EXPECT_EQ(run.debug[0], ExpectedParametersLine());
    const int written = WriteResultOf(run.debug[1]);
    std::wstring dumpPath;
    for (char c : run.output[1]) dumpPath.push_back(static_cast<wchar_t>(c));
    if (written == 1) {
        ExpectExceptionStream(dumpPath, threadId);
    } else {
        // The dump failed: its file does not stay behind.
        EXPECT_EQ(written, 0) << run.debug[1];
        EXPECT_FALSE(tavo::test::FileExists(dumpPath));
        printf("MiniDumpWriteDump failed here: %s", run.debug[1].c_str());
    }
}

}  // namespace
