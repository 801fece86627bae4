#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "paths/path_api.h"
#include "probe_runner.h"
#include "registry/registry.h"
#include "system/system_facts.h"

using tavo::test::KeyExists;
using tavo::test::Narrow;
using tavo::test::SameLines;
using tavo::test::Text;

namespace {

constexpr wchar_t kVelnorKey[] = L"SOFTWARE\\Velnor";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";
constexpr wchar_t kHostClass[] = L"{5D0C1E7A-2B44-4F19-A6E3-7C9B0D2F4A61}";

void SetValue(HKEY root, const wchar_t* subkey, REGSAM view, const wchar_t* name, DWORD type,
              const void* data, DWORD bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetString(HKEY root, const wchar_t* subkey, REGSAM view, const wchar_t* name, const wchar_t* text,
               DWORD type = REG_SZ) {
    SetValue(root, subkey, view, name, type, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

// Removes SOFTWARE\Velnor (machine 32-bit view and per-user) and the host's class registration at the end,
// when the test found none of them; otherwise only the values it wrote.
class ProductKeys {
  public:
    ProductKeys()
        : m_machineExisted(KeyExists(HKEY_LOCAL_MACHINE, kVelnorKey, KEY_WOW64_32KEY)),
          m_userExisted(KeyExists(HKEY_CURRENT_USER, kVelnorKey, 0)),
          m_classExisted(KeyExists(HKEY_CLASSES_ROOT, ClassKey().c_str(), 0)) {}
    ~ProductKeys() {
        Clean(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, m_machineExisted);
        Clean(HKEY_CURRENT_USER, 0, m_userExisted);
        if (!m_classExisted) RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey().c_str());
    }
    void Reset() {
        Clean(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, m_machineExisted);
        Clean(HKEY_CURRENT_USER, 0, m_userExisted);
        if (!m_classExisted) RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey().c_str());
    }
    static std::wstring ClassKey() {
        return std::wstring(Is64BitWindows() ? L"Wow6432Node\\CLSID\\" : L"CLSID\\") + kHostClass;
    }
    static void RegisterHost(const wchar_t* command) {
        SetString(HKEY_CLASSES_ROOT, (ClassKey() + L"\\LocalServer32").c_str(), 0, L"", command);
    }

  private:
    static void Clean(HKEY root, REGSAM view, bool existed) {
        if (existed) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(root, kProductKey, 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
                RegDeleteValueW(key, L"Path");
                RegDeleteValueW(key, L"msitype");
                RegCloseKey(key);
            }
            return;
        }
        RegDeleteKeyExW(root, kProductKey, view, 0);
        RegDeleteKeyExW(root, kVelnorKey, view, 0);
    }

    bool m_machineExisted;
    bool m_userExisted;
    bool m_classExisted;
};

// A unique temporary folder, removed (with what the tests made in it) at the end.
class TempFolder {
  public:
    TempFolder() {
        wchar_t base[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, base);
        m_path = std::wstring(base) + L"paths_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(GetTickCount());
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder() { RemoveTree(m_path); }
    const std::wstring& path() const { return m_path; }

    static void RemoveTree(const std::wstring& folder) {
        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring child = folder + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(child);
                } else {
                    SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(child.c_str());
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

  private:
    std::wstring m_path;
};

TEST(PathApi, CreateDirectoryPathMakesEveryFolder) {
    TempFolder temp;
    CStringEx path((temp.path() + L"\\a\\b\\c").c_str());
    EXPECT_TRUE(CPathApi::CreateDirectoryPath(path));
    EXPECT_EQ(Text(path), temp.path() + L"\\a\\b\\c\\");  // the trailing backslash is added in place
    EXPECT_TRUE(CPathApi::IsDirectoryExist((temp.path() + L"\\a").c_str()));
    EXPECT_TRUE(CPathApi::IsDirectoryExist((temp.path() + L"\\a\\b\\c").c_str()));
    // Already there.
    EXPECT_TRUE(CPathApi::CreateDirectoryPath(path));
    EXPECT_EQ(Text(path), temp.path() + L"\\a\\b\\c\\");
    // Doubled separators are passed over.
    CStringEx doubled((temp.path() + L"\\x\\\\y\\").c_str());
    EXPECT_TRUE(CPathApi::CreateDirectoryPath(doubled));
    EXPECT_TRUE(CPathApi::IsDirectoryExist((temp.path() + L"\\x\\y").c_str()));
    // No folder component at all.
    CStringEx driveOnly(L"Q:");
    if (!CPathApi::IsDirectoryExist(L"Q:\\")) {
        EXPECT_FALSE(CPathApi::CreateDirectoryPath(driveOnly));
    }
    CStringEx empty;
    EXPECT_FALSE(CPathApi::CreateDirectoryPath(empty));
}

TEST(PathApi, IsDirectoryExist) {
    TempFolder temp;
    EXPECT_TRUE(CPathApi::IsDirectoryExist(temp.path().c_str()));
    EXPECT_TRUE(CPathApi::IsDirectoryExist((temp.path() + L"\\").c_str()));
    const std::wstring file = temp.path() + L"\\file.txt";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    EXPECT_FALSE(CPathApi::IsDirectoryExist(file.c_str()));
    EXPECT_FALSE(CPathApi::IsDirectoryExist((temp.path() + L"\\missing").c_str()));
    EXPECT_FALSE(CPathApi::IsDirectoryExist(nullptr));
    EXPECT_FALSE(CPathApi::IsDirectoryExist(L""));
    // A path longer than the buffer is not cut down to some other folder.
    const std::wstring longPath = temp.path() + L"\\" + std::wstring(300, L'l');
    EXPECT_FALSE(CPathApi::IsDirectoryExist(longPath.c_str()));
}

TEST(PathApi, CanWriteFolderLeavesNoFile) {
    TempFolder temp;
    EXPECT_TRUE(CPathApi::CanWriteFolder(temp.path().c_str()));
    EXPECT_TRUE(CPathApi::CanWriteFolder((temp.path() + L"\\").c_str()));
    EXPECT_EQ(GetFileAttributesW((temp.path() + L"\\_TestTempFileXYZ.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(CPathApi::CanWriteFolder((temp.path() + L"\\missing").c_str()));
    EXPECT_FALSE(CPathApi::CanWriteFolder(nullptr));
    EXPECT_FALSE(CPathApi::CanWriteFolder(L""));
}

TEST(PathApi, SystemFolders) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    CStringEx out;
    EXPECT_TRUE(CPathApi::GetSystemPath(out));
    EXPECT_EQ(Text(out), system);
    EXPECT_TRUE(CPathApi::GetWindowsTempPath(out));
    EXPECT_EQ(Text(out), std::wstring(windows) + L"\\Temp");
    EXPECT_TRUE(CPathApi::GetDownloadedProgramFilesPath(out));
    EXPECT_EQ(Text(out), std::wstring(windows) + L"\\Downloaded Program Files");
    EXPECT_TRUE(CPathApi::GetProgramDataPath(out));
    EXPECT_EQ(Text(out), std::wstring(windows, 3) + L"ProgramData");  // drive root of the Windows folder
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData)));
    EXPECT_TRUE(CPathApi::GetAppDataPath(out));
    EXPECT_EQ(Text(out), appData);
}

TEST(PathApi, GetResFilePathUsesTheModuleFolder) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring folder(self);
    folder.resize(folder.find_last_of(L'\\'));
    CStringEx out;
    EXPECT_TRUE(CPathApi::GetResFilePath(nullptr, L"tavoRes.dll", out));
    EXPECT_EQ(Text(out), folder + L"\\tavoRes.dll");
    EXPECT_TRUE(CPathApi::GetResFilePath(GetModuleHandleW(L"kernel32.dll"), L"\\x.dll", out));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(Text(out).size(), wcslen(system) + 6);
}

TEST(PathApi, IsMsiTypePresentNeedsADword) {
    ProductKeys keys;
    EXPECT_FALSE(CPathApi::IsMsiTypePresent());
    SetString(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_32KEY, L"msitype", L"1");
    EXPECT_FALSE(CPathApi::IsMsiTypePresent());
    const DWORD value = 0;
    SetValue(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_32KEY, L"msitype", REG_DWORD, &value, sizeof(value));
    EXPECT_TRUE(CPathApi::IsMsiTypePresent());
    // The 64-bit view is not consulted.
    keys.Reset();
    if (Is64BitWindows()) {
        SetValue(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_64KEY, L"msitype", REG_DWORD, &value,
                 sizeof(value));
        EXPECT_FALSE(CPathApi::IsMsiTypePresent());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_64KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kVelnorKey, KEY_WOW64_64KEY, 0);
    }
}

TEST(PathApi, GetTavoRootPathFromTheProductKey) {
    ProductKeys keys;
    SetString(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_32KEY, L"Path", L"C:\\Machine\\Root");
    SetString(HKEY_CURRENT_USER, kProductKey, 0, L"Path", L"C:\\User\\Root");
    CStringEx out;
    EXPECT_TRUE(CPathApi::GetTavoRootPath(out));
    EXPECT_EQ(Text(out), L"C:\\Machine\\Root");
    // Only a REG_SZ machine value counts; then the per-user value is read.
    SetString(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_32KEY, L"Path", L"C:\\Expand", REG_EXPAND_SZ);
    EXPECT_TRUE(CPathApi::GetTavoRootPath(out));
    EXPECT_EQ(Text(out), L"C:\\User\\Root");
    keys.Reset();
    SetString(HKEY_CURRENT_USER, kProductKey, 0, L"Path", L"C:\\User\\Only");
    EXPECT_TRUE(CPathApi::GetTavoRootPath(out));
    EXPECT_EQ(Text(out), L"C:\\User\\Only");
}

// The fallback writes a debug message: the probe program runs it.
TEST(PathApi, GetTavoRootPathFallsBackToTheRegisteredHost) {
    ProductKeys keys;
    ProductKeys::RegisterHost(L"\"C:\\Program Files\\Velnor\\tavopluginhost.exe\"");
    const std::string fallback = "CPathApi::GetTavoRootPath, This case shouldn't be excuted!";

    ProbeResult probe = RunProbe("root");
    ASSERT_TRUE(probe.started);
    EXPECT_EQ(Lines(probe.output), "root=1 [C:\\Program Files\\Velnor]\n");
    EXPECT_TRUE(SameLines(probe.debug, {fallback}));

    // An empty machine value is a successful read: the per-user value is not consulted.
    SetString(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_32KEY, L"Path", L"");
    SetString(HKEY_CURRENT_USER, kProductKey, 0, L"Path", L"C:\\User\\Root");
    probe = RunProbe("root");
    EXPECT_EQ(Lines(probe.output), "root=1 [C:\\Program Files\\Velnor]\n");
    EXPECT_TRUE(SameLines(probe.debug, {fallback}));

    // Nothing registered at all: still true, with an empty path.
    keys.Reset();
    probe = RunProbe("root");
    EXPECT_EQ(Lines(probe.output), "root=1 []\n");
    EXPECT_TRUE(SameLines(probe.debug, {fallback}));
}

TEST(PathApi, GetAppDataPluginsPathCreatesTheFolders) {
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData)));
    const std::wstring velnor = std::wstring(appData) + L"\\Velnor";
    const std::wstring plugins = velnor + L"\\Plugins";
    const bool existed = CPathApi::IsDirectoryExist(velnor.c_str());

    const ProbeResult probe = RunProbe("appdata");
    ASSERT_TRUE(probe.started);
    EXPECT_EQ(Lines(probe.output),
              "length=" + std::to_string(plugins.size()) + " [" + Narrow(plugins) + "\\settings.xml]\n");
    EXPECT_TRUE(SameLines(probe.debug, {Narrow(plugins)}));
    EXPECT_TRUE(CPathApi::IsDirectoryExist(plugins.c_str()));
    if (!existed) TempFolder::RemoveTree(velnor);
}

TEST(PathApi, NullArguments) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring folder(self);
    folder.resize(folder.find_last_of(L'\\'));
    const ProbeResult probe = RunProbe("paths-null");
    ASSERT_TRUE(probe.started);
    EXPECT_EQ(Lines(probe.output),
              "res=0 out=untouched\nres=1 out=" + Narrow(folder) + "\\tavoRes.dll\nappdata=0\nappdata=0\n");
    EXPECT_TRUE(SameLines(probe.debug, {"\nCPathApi::GetResFilePath: Invalid Input!\n"}));
}

// The deletion guard's table: every folder it protects by name, each kind of protected folder with a
// folder above it (refused too), and beside each a folder that is not protected (the rule is exact).
// A profile of a user the shell does not know, and environment names pointed at folders of the test's
// own, show the names that nothing else on the machine also protects.
class DeletionGuard : public ::testing::Test {
  protected:
    static constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    static constexpr wchar_t kSid[] = L"S-1-5-21-1111111111-2222222222-3333333333-1999";
    void SetUp() override {
        const std::wstring key = std::wstring(kProfileList) + L"\\" + kSid;
        SetString(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, L"ProfileImagePath", kProfile);
    }
    void TearDown() override {
        const std::wstring key = std::wstring(kProfileList) + L"\\" + kSid;
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
    }
    static constexpr wchar_t kProfile[] = L"C:\\TavoGuard\\Homes\\guest";

    // Refused as `verdict`; and a folder of the test's own name inside it is not refused for the name
    // (it is not there: kMissing), unless the folder is a system one, inside which nothing is deleted.
    static void ExpectRefused(const std::wstring& path, FolderVerdict verdict) {
        SCOPED_TRACE(Narrow(path));
        EXPECT_EQ(static_cast<int>(JudgeFolderForDeletion(path.c_str())), static_cast<int>(verdict));
        const std::wstring inside = path + L"\\Tavo Guard Suite";
        EXPECT_EQ(static_cast<int>(JudgeFolderForDeletion(inside.c_str())),
                  static_cast<int>(verdict == FolderVerdict::kSystemFolder ? FolderVerdict::kSystemFolder
                                                                           : FolderVerdict::kMissing));
    }
    // Every folder above `path` up to (not including) `stop` is refused as `verdict`.
    static void ExpectAboveRefused(const std::wstring& path, const std::wstring& stop,
                                   FolderVerdict verdict) {
        for (size_t slash = path.rfind(L'\\'); slash != std::wstring::npos && slash > stop.size();
             slash = path.rfind(L'\\', slash - 1)) {
            const std::wstring above = path.substr(0, slash);
            SCOPED_TRACE(Narrow(above) + " above " + Narrow(path));
            EXPECT_EQ(static_cast<int>(JudgeFolderForDeletion(above.c_str())), static_cast<int>(verdict));
        }
    }
};

TEST_F(DeletionGuard, EveryFolderOfAProfileAndEveryFolderAboveOne) {
    // What Windows makes in every profile, relative to the profile folder.
    const wchar_t* const names[] = {
        L"Desktop",
        L"Documents",
        L"Downloads",
        L"Music",
        L"Pictures",
        L"Videos",
        L"Favorites",
        L"Links",
        L"Contacts",
        L"Searches",
        L"Saved Games",
        L"OneDrive",
        L"Templates",
        L"AppData",
        L"AppData\\Local",
        L"AppData\\LocalLow",
        L"AppData\\Roaming",
        L"AppData\\Local\\Temp",
        L"Temp",
        L"Application Data",
        L"Local Settings",
        L"Local Settings\\Temp",
        L"My Documents",
        L"Start Menu",
        L"AppData\\Roaming\\Microsoft\\Windows\\Start Menu",
        L"AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
    };
    const std::wstring profile = kProfile;
    ExpectRefused(profile, FolderVerdict::kProtectedFolder);
    for (const wchar_t* name : names) {
        const std::wstring folder = profile + L"\\" + name;
        ExpectRefused(folder, FolderVerdict::kProtectedFolder);
        // "AppData\Roaming\Microsoft" and "...\Windows" are protected only as folders above the Start menu.
        ExpectAboveRefused(folder, L"C:", FolderVerdict::kProtectedFolder);
    }
    // A folder of the profile that is none of them.
    EXPECT_EQ(JudgeFolderForDeletion((profile + L"\\Tavo Guard Suite").c_str()), FolderVerdict::kMissing);
    EXPECT_EQ(JudgeFolderForDeletion((profile + L"\\AppData\\Roaming\\Velnor").c_str()),
              FolderVerdict::kMissing);
}

// The folders named by the environment, each moved to a folder of the test's own: the folder, what lies
// above it and (for the Windows folder) what lies inside are refused; a folder beside it is not.
TEST_F(DeletionGuard, EveryFolderTheEnvironmentNamesAndEveryFolderAboveOne) {
    const struct {
        const wchar_t* name;
        FolderVerdict verdict;
    } variables[] = {
        {L"SystemRoot", FolderVerdict::kSystemFolder},
        {L"windir", FolderVerdict::kSystemFolder},
        {L"ProgramFiles", FolderVerdict::kProtectedFolder},
        {L"ProgramFiles(x86)", FolderVerdict::kProtectedFolder},
        {L"ProgramW6432", FolderVerdict::kProtectedFolder},
        {L"CommonProgramFiles", FolderVerdict::kProtectedFolder},
        {L"CommonProgramFiles(x86)", FolderVerdict::kProtectedFolder},
        {L"CommonProgramW6432", FolderVerdict::kProtectedFolder},
        {L"ProgramData", FolderVerdict::kProtectedFolder},
        {L"ALLUSERSPROFILE", FolderVerdict::kProtectedFolder},
        {L"PUBLIC", FolderVerdict::kProtectedFolder},
        {L"USERPROFILE", FolderVerdict::kProtectedFolder},
        {L"APPDATA", FolderVerdict::kProtectedFolder},
        {L"LOCALAPPDATA", FolderVerdict::kProtectedFolder},
        {L"TEMP", FolderVerdict::kProtectedFolder},
        {L"TMP", FolderVerdict::kProtectedFolder},
    };
    for (const auto& variable : variables) {
        const std::wstring base = std::wstring(L"C:\\TavoGuard\\") + variable.name;
        const std::wstring folder = base + L"\\deep\\named";
        tavo::test::ScopedEnv moved(variable.name, folder.c_str());
        ExpectRefused(folder, variable.verdict);
        ExpectAboveRefused(folder, L"C:", variable.verdict);
        SCOPED_TRACE(Narrow(variable.name));
        EXPECT_EQ(JudgeFolderForDeletion((base + L"\\deep\\beside").c_str()), FolderVerdict::kMissing);
    }
}

// Folders above the shell's known folders of the machine that are no known folder themselves: the
// shared Start menu's "C:\ProgramData\Microsoft" and "...\Microsoft\Windows", the user's
// "AppData\Roaming\Microsoft".
TEST_F(DeletionGuard, FoldersAboveTheShellsFoldersAreRefused) {
    for (const int csidl : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS, CSIDL_COMMON_APPDATA, CSIDL_PROFILE,
                            CSIDL_PROGRAM_FILES, CSIDL_LOCAL_APPDATA}) {
        wchar_t path[MAX_PATH] = {};
        ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)));
        ExpectRefused(path, FolderVerdict::kProtectedFolder);
        ExpectAboveRefused(path, L"C:", FolderVerdict::kProtectedFolder);
    }
    wchar_t programData[MAX_PATH] = {};
    ASSERT_TRUE(
        SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, programData)));
    EXPECT_EQ(JudgeFolderForDeletion((std::wstring(programData) + L"\\Velnor").c_str()),
              FolderVerdict::kMissing);
}

}  // namespace
