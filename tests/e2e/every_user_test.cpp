// Every user's part of the suite removed by the uninstall, not only the running account's. Besides the
// machine's own user, five people's profiles are made the way the system makes them (a folder under
// C:\users with its own hive file NTUSER.DAT, listed in the profile list with its ProfileImagePath):
// - second: logged on (its hive loaded under HKEY_USERS\<SID>, as the system loads it at logon);
// - third: not logged on (only its hive file);
// - gone: listed, but its hive file is missing;
// - fourth: its hive points its Programs folder out of the profile, into a shared folder;
// - fifth: its "Start Menu" folder is a link to a shared folder;
// - busy: its hive file is held open by another process (the test itself);
// - linked: logged on, its "Software\Velnor" and its uninstall list are registry links to machine keys
//   that hold what a cleanup following them would take for the suite's.
// Each hive holds the suite's product key and per-user installer records beside other software's keys, and
// each Programs folder the suite's localized shortcuts beside others'. A service account is listed too.
// "TavoRemover.exe /TempUninstall" runs the whole sequence; then only the suite's part is gone.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "install/install.h"
#include "outcome/outcome.h"
#include "removal_support.h"
#include "session/session.h"
#include "shortcut/shortcut.h"
#include "steps/steps.h"
#include "test_support.h"

namespace tavo::test {
namespace {

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kSidBase[] = L"S-1-5-21-1111111111-2222222222-3333333333-";
constexpr wchar_t kProgramsBelowProfile[] = L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
constexpr wchar_t kSuiteFolder[] = L"Orvane Velnor Tavo Suite";
// The suite's product as a per-user install registers it (packed code and its GUID), and another product.
constexpr wchar_t kSuiteCode[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
constexpr wchar_t kSuiteGuid[] = L"{4D3C2B1A-6F5E-8170-92A3-B4C5D6E7F809}";
constexpr wchar_t kOtherCode[] = L"0F1E2D3C4B5A69788796A5B4C3D2E1F0";
constexpr wchar_t kOtherGuid[] = L"{C3D2E1F0-A5B4-8796-7869-5A4B3C2D1E0F}";
constexpr wchar_t kInstaller[] = L"Software\\Microsoft\\Installer\\";
constexpr wchar_t kUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// The keys of the suite in a user's hive: these go, with everything beneath them.
std::vector<std::wstring> SuiteKeys() {
    return {L"Software\\Velnor\\Plugins",
            std::wstring(kInstaller) + L"UpgradeCodes\\8C21F07D4E9A3B5612D0E7F4A6B3C981",
            std::wstring(kInstaller) + L"Products\\" + kSuiteCode,
            std::wstring(kInstaller) + L"Features\\" + kSuiteCode, kUninstall + std::wstring(kSuiteGuid)};
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

void Put(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& text,
         REGSAM view = 0) {
    HKEY created = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &created, nullptr),
        ERROR_SUCCESS)
        << Narrow(key);
    RegSetValueExW(created, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(created);
}

// A registry tree as entries: "path" for a key, "path\:name" = type and data for a value.
using Tree = std::map<std::wstring, std::wstring>;

void Dump(HKEY key, const std::wstring& path, Tree& tree) {
    tree[path] = L"";
    for (DWORD index = 0;; ++index) {
        wchar_t name[1024] = {};
        BYTE data[4096] = {};
        DWORD nameChars = 1024, type = 0, bytes = sizeof(data);
        if (RegEnumValueW(key, index, name, &nameChars, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
        std::wstring text = std::to_wstring(type) + L":";
        for (DWORD i = 0; i < bytes; ++i)
            text += L"0123456789abcdef"[data[i] >> 4], text += L"0123456789abcdef"[data[i] & 15];
        tree[path + L"\\:" + name] = text;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        Dump(child, path.empty() ? name : path + L"\\" + name, tree);
        RegCloseKey(child);
    }
}

Tree DumpKey(HKEY root, const std::wstring& subkey, REGSAM view = 0) {
    Tree tree;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return tree;
    Dump(key, L"", tree);
    RegCloseKey(key);
    return tree;
}

// `tree` without the suite's keys (or those given) and what lies beneath them.
Tree WithoutSuite(const Tree& tree, const std::vector<std::wstring>& suiteKeys = SuiteKeys()) {
    Tree kept;
    for (const auto& [path, content] : tree) {
        const bool suite = std::any_of(suiteKeys.begin(), suiteKeys.end(), [&](const std::wstring& key) {
            return EqualNoCase(path.substr(0, key.size()), key) &&
                   (path.size() == key.size() || path[key.size()] == L'\\');
        });
        if (!suite) kept[path] = content;
    }
    return kept;
}

std::set<std::wstring> HiveNames() {
    std::set<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD chars = 256;
        if (RegEnumKeyExW(HKEY_USERS, index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.insert(name);
    }
    return names;
}

// Every file and folder below `folder` (links listed, not entered).
std::set<std::wstring> Files(const std::wstring& folder) {
    std::set<std::wstring> files;
    VisitTree(folder, [&](const std::wstring& path, const WIN32_FIND_DATAW&) { files.insert(path); });
    return files;
}

void Shortcut(const std::wstring& path, const std::wstring& target) {
    SHCreateDirectoryExW(nullptr, path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
    ASSERT_TRUE(
        SUCCEEDED(CPluginsShortcut::CreateShortcutLink(path.c_str(), target.c_str(), nullptr, nullptr, 0)))
        << Narrow(path);
}

// The suite's shortcuts in a Programs folder, beside shortcuts of other programs; the suite's paths.
std::vector<std::wstring> LayShortcuts(const std::wstring& programs) {
    const std::wstring suite = L"C:\\Program Files\\Tavo Suite\\tavoInst.exe";
    const std::wstring other = L"C:\\Program Files\\Other\\other.exe";
    const std::vector<std::wstring> suitePaths = {
        programs + L"\\" + kSuiteFolder + L"\\卸载.lnk", programs + L"\\" + kSuiteFolder + L"\\Справка.lnk",
        programs + L"\\Velnor\\" + kSuiteFolder + L"\\ヘルプ.lnk", programs + L"\\Help.lnk"};
    for (const std::wstring& path : suitePaths) Shortcut(path, suite);
    Shortcut(programs + L"\\Uninstall.lnk", other);
    Shortcut(programs + L"\\Velnor\\Meetings.lnk", other);
    Shortcut(programs + L"\\Other Vendor\\Help.lnk", other);
    std::vector<std::wstring> removed = suitePaths;
    removed.push_back(programs + L"\\" + kSuiteFolder);
    removed.push_back(programs + L"\\Velnor\\" + kSuiteFolder);
    return removed;
}

struct Profile {
    std::wstring name;
    std::wstring sid;
    std::wstring folder() const { return L"C:\\users\\" + name; }
    std::wstring hiveFile() const { return folder() + L"\\NTUSER.DAT"; }
};

// A user's hive as the system keeps it: made under a key of this process's own hive and saved to the
// profile's hive file. `programsValue` (if any) is the "User Shell Folders" value "Programs".
void MakeHive(const Profile& profile, const std::wstring& programsValue) {
    const std::wstring build = L"Software\\tavo-hive-" + profile.name;
    HKEY root = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, build.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root,
                              nullptr),
              ERROR_SUCCESS);
    // The suite's part.
    Put(root, L"Software\\Velnor\\Plugins", L"Path", REG_SZ, L"C:\\Program Files\\Tavo Suite");
    Put(root, L"Software\\Velnor\\Plugins\\Settings", L"Language", REG_SZ, L"1033");
    Put(root, std::wstring(kInstaller) + L"UpgradeCodes\\8C21F07D4E9A3B5612D0E7F4A6B3C981", kSuiteCode,
        REG_SZ, L"");
    Put(root, std::wstring(kInstaller) + L"Products\\" + kSuiteCode, L"ProductName", REG_SZ, L"Tavo Suite");
    Put(root, std::wstring(kInstaller) + L"Products\\" + kSuiteCode + L"\\SourceList", L"PackageName", REG_SZ,
        L"TAVOKIT.MSI");
    Put(root, std::wstring(kInstaller) + L"Features\\" + kSuiteCode, L"Main", REG_SZ, L"");
    Put(root, kUninstall + std::wstring(kSuiteGuid), L"DisplayName", REG_SZ, L"Tavo Suite");
    // Other software's, and the maker's other product.
    Put(root, L"Software\\Velnor\\Meetings", L"Version", REG_SZ, L"9");
    Put(root, L"Software\\Velnor_Outlook", L"Path", REG_SZ, L"C:\\Program Files\\Tavo Suite");
    Put(root, std::wstring(kInstaller) + L"UpgradeCodes\\FEDCBA9876543210FEDCBA9876543210", kOtherCode,
        REG_SZ, L"");
    Put(root, std::wstring(kInstaller) + L"Products\\" + kOtherCode, L"ProductName", REG_SZ, L"Other");
    Put(root, std::wstring(kInstaller) + L"Features\\" + kOtherCode, L"Main", REG_SZ, L"");
    Put(root, kUninstall + std::wstring(kOtherGuid), L"DisplayName", REG_SZ, L"Other");
    Put(root, kUninstall + std::wstring(L"OtherApp"), L"DisplayName", REG_SZ, L"Other app");
    Put(root, L"Software\\Other Vendor\\App", L"Setting", REG_SZ, L"7");
    Put(root, kShellFolders, L"AppData", REG_EXPAND_SZ, L"%USERPROFILE%\\AppData\\Roaming");
    if (!programsValue.empty()) Put(root, kShellFolders, L"Programs", REG_EXPAND_SZ, programsValue);
    const LONG saved = RegSaveKeyW(root, profile.hiveFile().c_str(), nullptr);
    RegCloseKey(root);
    RegDeleteTreeW(HKEY_CURRENT_USER, build.c_str());
    ASSERT_EQ(saved, ERROR_SUCCESS) << Narrow(profile.hiveFile());
}

// A registry link at `path` to the native key path `target`.
void MakeLink(HKEY root, const std::wstring& path, const std::wstring& target) {
    ScopedRegKey link;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                              KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, link.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.c_str()),
                             static_cast<DWORD>(target.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void ListProfile(const std::wstring& sid, const std::wstring& folder) {
    Put(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", REG_EXPAND_SZ,
        folder);
}

// The console lines from the one that starts with `first` up to the next user's line (or the banner after
// the step), without the paths the shortcut cleaning prints.
std::vector<std::string> UserBlock(const std::vector<std::string>& lines, const std::string& first) {
    std::vector<std::string> block;
    auto at = std::find(lines.begin(), lines.end(), first);
    if (at == lines.end()) return block;
    for (++at; at != lines.end(); ++at) {
        if (at->rfind("Cleaning the suite's settings of ", 0) == 0 || at->rfind("****", 0) == 0) break;
        if (at->rfind("C:\\", 0) != 0) block.push_back(*at);
    }
    return block;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST(EveryUser, TheUninstallRemovesEveryUsersPartOfTheSuiteAndNothingElse) {
    ASSERT_TRUE(removal::OnlyDriveC());
    CEnabledPrivileges privileges({SE_RESTORE_NAME, SE_BACKUP_NAME});
    ASSERT_TRUE(privileges.ok()) << privileges.error();

    const Profile second{L"tavo-second", kSidBase + std::wstring(L"1001")};
    const Profile third{L"tavo-third", kSidBase + std::wstring(L"1002")};
    const Profile gone{L"tavo-gone", kSidBase + std::wstring(L"1003")};
    const Profile fourth{L"tavo-fourth", kSidBase + std::wstring(L"1004")};
    const Profile fifth{L"tavo-fifth", kSidBase + std::wstring(L"1005")};
    const Profile busy{L"tavo-busy", kSidBase + std::wstring(L"1006")};
    const Profile linked{L"tavo-linked", kSidBase + std::wstring(L"1007")};
    for (const Profile* profile : {&second, &third, &gone, &fourth, &fifth, &busy, &linked}) {
        ASSERT_TRUE(CreateDirectoryW(profile->folder().c_str(), nullptr)) << Narrow(profile->folder());
        ListProfile(profile->sid, L"%SystemDrive%\\users\\" + profile->name);
    }
    // The system's own account, as Windows lists it: never a person's profile.
    ListProfile(L"S-1-5-18", L"%systemroot%\\system32\\config\\systemprofile");

    MakeHive(second, L"%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
    MakeHive(third, L"");  // no "Programs" value: the system's default place
    const std::wstring shared = L"C:\\users\\Public\\Elsewhere Programs";
    MakeHive(fourth, L"%USERPROFILE%\\..\\Public\\Elsewhere Programs");
    MakeHive(fifth, L"%APPDATA%\\Microsoft\\Windows\\Start Menu\\Programs");
    MakeHive(busy, L"");
    MakeHive(linked, L"");
    if (HasFatalFailure()) return;

    std::vector<std::wstring> removedFiles;
    for (const Profile* profile : {&second, &third}) {
        const std::vector<std::wstring> removed = LayShortcuts(profile->folder() + kProgramsBelowProfile);
        removedFiles.insert(removedFiles.end(), removed.begin(), removed.end());
    }
    LayShortcuts(fourth.folder() + kProgramsBelowProfile);
    LayShortcuts(shared);
    const std::wstring linkedStartMenu = L"C:\\users\\Public\\Linked Start Menu";
    LayShortcuts(linkedStartMenu + L"\\Programs");
    const std::wstring fifthRoaming = fifth.folder() + L"\\AppData\\Roaming\\Microsoft\\Windows";
    SHCreateDirectoryExW(nullptr, fifthRoaming.c_str(), nullptr);
    ASSERT_TRUE(removal::MakeFolderLink(fifthRoaming + L"\\Start Menu", linkedStartMenu));
    if (HasFatalFailure()) return;

    // The second user is logged on: the system has loaded the hive under the user's SID.
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, second.sid.c_str(), second.hiveFile().c_str()), ERROR_SUCCESS);
    const Tree secondBefore = DumpKey(HKEY_USERS, second.sid);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, L"tavo-test-third", third.hiveFile().c_str()), ERROR_SUCCESS);
    const Tree thirdBefore = DumpKey(HKEY_USERS, L"tavo-test-third");
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, L"tavo-test-third"), ERROR_SUCCESS);
    for (const std::wstring& key : SuiteKeys()) ASSERT_EQ(thirdBefore.count(key), 1u) << Narrow(key);
    // The linked user is logged on too; the machine keys its links lead to hold a product key and the
    // suite's uninstall entry.
    const REGSAM k64 = SixtyFourBitWindows() ? KEY_WOW64_64KEY : 0;
    const std::wstring bait = L"SOFTWARE\\TavoBait", baitList = L"SOFTWARE\\TavoBaitUninstall";
    Put(HKEY_LOCAL_MACHINE, bait + L"\\Plugins", L"Path", REG_SZ, L"C:\\Program Files\\Tavo Suite", k64);
    Put(HKEY_LOCAL_MACHINE, baitList + L"\\" + kSuiteGuid, L"DisplayName", REG_SZ, L"Someone's", k64);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, linked.sid.c_str(), linked.hiveFile().c_str()), ERROR_SUCCESS);
    const std::wstring linkedRoot = linked.sid + L"\\";
    for (const auto& [key, target] :
         {std::pair{std::wstring(L"Software\\Velnor"), bait},
          std::pair{std::wstring(kUninstall, wcslen(kUninstall) - 1), baitList}}) {
        ASSERT_EQ(RegDeleteTreeW(HKEY_USERS, (linkedRoot + key).c_str()), ERROR_SUCCESS);
        MakeLink(HKEY_USERS, linkedRoot + key, L"\\Registry\\Machine\\" + target);
    }
    if (HasFatalFailure()) return;
    const Tree linkedBefore = DumpKey(HKEY_USERS, linked.sid),
               baitBefore = DumpKey(HKEY_LOCAL_MACHINE, bait, k64),
               baitListBefore = DumpKey(HKEY_LOCAL_MACHINE, baitList, k64);
    ASSERT_EQ(linkedBefore.count(L"Software\\Velnor\\Plugins\\:Path"), 1u);
    ASSERT_EQ(linkedBefore.count(kUninstall + std::wstring(kSuiteGuid)), 1u);
    const std::set<std::wstring> hivesBefore = HiveNames();
    const std::string thirdFileBefore = ReadFileBytes(third.hiveFile());
    const std::set<std::wstring> usersBefore = Files(L"C:\\users");

    ScopedHandle busyHive(
        CreateFileW(busy.hiveFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(busyHive);

    capture::Options options;
    options.commandLine = L"\"" + BinPath(L"TavoRemover.exe") + L"\" /TempUninstall";
    options.timeoutMs = 300000;
    const capture::Result result = capture::Run(options);
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timedOut);
    const std::vector<std::string> lines = SplitLines(Unix(result.output));
    std::printf("---- the uninstaller's console, paths left out\n");
    for (const std::string& line : lines) {
        if (line.rfind("C:\\", 0) != 0) std::printf("%s\n", line.c_str());
    }
    std::printf("----\n");

    busyHive.reset();
    // The hive another process holds may still keep the suite's settings: the uninstall reports a failure.
    EXPECT_EQ(result.exitCode, kExitFailure);
    // One line per person's profile (the machine's own user and the seven), none for the service account.
    const std::string cleaning = "Cleaning the suite's settings of ";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.rfind(cleaning, 0) == 0; }),
              8);
    for (const Profile* profile : {&second, &third, &gone, &fourth, &fifth, &busy, &linked})
        EXPECT_EQ(Count(lines, cleaning + Narrow(profile->sid)), 1u) << Narrow(profile->sid);
    EXPECT_EQ(
        Count(lines,
              "The settings of " + Narrow(gone.sid) +
                  " are left, its hive could not be loaded (error 2): C:\\users\\tavo-gone\\NTUSER.DAT"),
        1u);
    EXPECT_EQ(
        Count(lines,
              "The settings of " + Narrow(busy.sid) +
                  " are left, its hive could not be loaded (error 32): C:\\users\\tavo-busy\\NTUSER.DAT"),
        1u);
    EXPECT_EQ(Count(lines, "The Programs folder of " + Narrow(fourth.sid) +
                               " is left alone, it lies outside the profile: " + Narrow(shared)),
              1u);
    EXPECT_EQ(Count(lines, "The Programs folder of " + Narrow(fifth.sid) +
                               " is left alone, a link lies on its way: " +
                               Narrow(fifth.folder() + kProgramsBelowProfile)),
              1u);
    EXPECT_EQ(result.output.find("S-1-5-18"), std::string::npos);
    // The hive loaded for the time of the cleaning went through the same removals as the logged-on one.
    const std::vector<std::string> secondBlock = UserBlock(lines, cleaning + Narrow(second.sid));
    EXPECT_FALSE(secondBlock.empty());
    EXPECT_EQ(UserBlock(lines, cleaning + Narrow(third.sid)), secondBlock);

    // The logged-on user's hive: the suite's keys are gone, every other key and value is as it was.
    EXPECT_EQ(DumpKey(HKEY_USERS, second.sid), WithoutSuite(secondBefore));
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, second.sid.c_str()), ERROR_SUCCESS);
    // Behind the links nothing went: only the linked user's own installer records (the keys that are no
    // links) are gone, and nothing is printed for the keys behind the links.
    const std::vector<std::wstring> suiteKeys = SuiteKeys();
    const std::vector<std::wstring> installerKeys(suiteKeys.begin() + 1, suiteKeys.end() - 1);
    EXPECT_EQ(DumpKey(HKEY_USERS, linked.sid), WithoutSuite(linkedBefore, installerKeys));
    EXPECT_EQ(DumpKey(HKEY_LOCAL_MACHINE, bait, k64), baitBefore);
    EXPECT_EQ(DumpKey(HKEY_LOCAL_MACHINE, baitList, k64), baitListBefore);
    const std::vector<std::string> linkedBlock = UserBlock(lines, cleaning + Narrow(linked.sid));
    EXPECT_EQ(std::count(linkedBlock.begin(), linkedBlock.end(), "SOFTWARE\\Velnor"), 0);
    EXPECT_EQ(std::count(linkedBlock.begin(), linkedBlock.end(), Narrow(kSuiteGuid)), 0);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, linked.sid.c_str()), ERROR_SUCCESS);
    // Every hive the uninstaller loaded is unloaded again.
    std::set<std::wstring> hivesAfter = HiveNames();
    hivesAfter.insert(second.sid);
    hivesAfter.insert(linked.sid);
    EXPECT_EQ(hivesAfter, hivesBefore);
    // The third user's hive file loads and holds everything but the suite's keys. Wine keeps nothing of
    // what is changed in a hive loaded with RegLoadKey: its file is left as it was.
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, L"tavo-test-third", third.hiveFile().c_str()), ERROR_SUCCESS);
    const Tree thirdAfter = DumpKey(HKEY_USERS, L"tavo-test-third");
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, L"tavo-test-third"), ERROR_SUCCESS);
    if (removal::RunningUnderWine()) {
        EXPECT_EQ(thirdAfter, thirdBefore);
        EXPECT_EQ(ReadFileBytes(third.hiveFile()), thirdFileBefore);
    } else {
        EXPECT_EQ(thirdAfter, WithoutSuite(thirdBefore));
    }

    // In the profiles: exactly the suite's shortcuts and folders of the second and third users are gone;
    // the shared folders the fourth and fifth users' hives lead to are untouched.
    std::set<std::wstring> expected = usersBefore;
    for (const std::wstring& path : removedFiles) EXPECT_EQ(expected.erase(path), 1u) << Narrow(path);
    const std::set<std::wstring> usersAfter = Files(L"C:\\users");
    std::vector<std::wstring> missing, added;
    std::set_difference(expected.begin(), expected.end(), usersAfter.begin(), usersAfter.end(),
                        std::back_inserter(missing));
    std::set_difference(usersAfter.begin(), usersAfter.end(), expected.begin(), expected.end(),
                        std::back_inserter(added));
    for (const std::wstring& path : missing) ADD_FAILURE() << "removed: " << Narrow(path);
    // The uninstaller's own files in the machine user's temporary folder come and go.
    for (const std::wstring& path : added) {
        if (path.find(L"\\Temp\\") == std::wstring::npos) ADD_FAILURE() << "added: " << Narrow(path);
    }
}

// What the step tells the outcome of the uninstall (from which its exit code and log are made), item by
// item: each key it deleted, and each hive it could not load. The step runs in this process.
std::vector<std::string> g_records;

void KeepRecord(ItemKind kind, const wchar_t* what, ItemResult result, DWORD error) {
    // Only the items of this test's users (a hive the step loads is named by its user's SID too).
    if (!wcsstr(what, L"-3333333333-20")) return;
    const char* results[] = {"deleted", "failed", "scheduled"};
    g_records.push_back(std::string(kind == ItemKind::kKey ? "key " : "other ") +
                        results[static_cast<int>(result)] + " " + std::to_string(error) + " " + Narrow(what));
}

TEST(EveryUser, EachKeyRemovedAndEachHiveLeftIsRecordedInTheStepsOutcome) {
    ASSERT_TRUE(removal::OnlyDriveC());
    CEnabledPrivileges privileges({SE_RESTORE_NAME, SE_BACKUP_NAME});
    const Profile recorded{L"tavo-recorded", kSidBase + std::wstring(L"2001")};
    const Profile held{L"tavo-held", kSidBase + std::wstring(L"2002")};
    const Profile absent{L"tavo-absent", kSidBase + std::wstring(L"2003")};
    for (const Profile* profile : {&recorded, &held, &absent}) {
        ASSERT_TRUE(CreateDirectoryW(profile->folder().c_str(), nullptr)) << Narrow(profile->folder());
        ListProfile(profile->sid, profile->folder());
    }
    MakeHive(recorded, L"");
    MakeHive(held, L"");
    if (HasFatalFailure()) return;
    ScopedHandle heldHive(
        CreateFileW(held.hiveFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(heldHive);

    ResetOutcome();
    SetOutcomeObserver(KeepRecord);
    RegistryViewFlag = IsNative64BitSystem() ? KEY_WOW64_64KEY : 0;
    {
        removal::ConsoleCapture console;
        CleanupEveryUser();
        console.Stop();
    }
    SetOutcomeObserver(nullptr);

    // Each key by the name the registry gives it (a deleted tree's keys one by one, children first), the
    // hive the step loaded named by its user's SID.
    const std::string user = "key deleted 0 HKEY_USERS\\" + Narrow(recorded.sid) + "\\";
    const std::string product = user + "Software\\Microsoft\\Installer\\Products\\" + Narrow(kSuiteCode);
    const std::vector<std::string> expected = {
        user + "Software\\Velnor\\Plugins\\Settings",
        user + "Software\\Velnor\\Plugins",
        product + "\\SourceList",
        product,
        user + "Software\\Microsoft\\Installer\\Features\\" + Narrow(kSuiteCode),
        user + "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + Narrow(kSuiteGuid),
        user + "SOFTWARE\\Microsoft\\Installer\\UpgradeCodes\\8C21F07D4E9A3B5612D0E7F4A6B3C981",
        "key failed 32 HKEY_USERS\\" + Narrow(held.sid),
    };
    EXPECT_EQ(g_records, expected);
    ASSERT_FALSE(OutcomeSteps().empty());
    EXPECT_EQ(OutcomeSteps().back().title, L"TRY TO CLEANUP TAVO SETTINGS OF EVERY USER");
    EXPECT_GE(OutcomeSteps().back().counts.failed, 1u);
    EXPECT_EQ(OutcomeExitCode(), kExitFailure);
}

}  // namespace
}  // namespace tavo::test
