// The installer-records and client-registry cleanup on a machine of its own: first with nothing of the
// suite installed, then against the records that msiexec writes for the suite's package and an unrelated
// one (tests/fixtures/msi.cmake), with what a per-machine install cannot write added by hand.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <string>
#include <utility>

#include "install/install.h"
#include "steps/registry_cleanup.h"
#include "steps/steps.h"
#include "support/scoped.h"
#include "test_support.h"

using tavo::test::KeyExists;
using tavo::test::Narrow;

namespace {

constexpr REGSAM k64 = KEY_WOW64_64KEY, k32 = KEY_WOW64_32KEY;
constexpr wchar_t kSuite[] = L"14F8E3B57A2C91D4E906A3C7B1D8F249",
                  kSuiteGuid[] = L"{5B3E8F41-C2A7-4D19-9E60-3A7C1B8D2F94}";
constexpr wchar_t kOther[] = L"F2A4C6E8B0D2F4A61357924680ACE135",
                  kOtherGuid[] = L"{8E6C4A2F-2D0B-6A4F-3175-296408CA1E53}";
constexpr wchar_t kClasses[] = L"SOFTWARE\\Classes\\Installer\\",
                  kUserInstaller[] = L"SOFTWARE\\Microsoft\\Installer\\";
constexpr wchar_t kMachineData[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\";
constexpr wchar_t kSystemData[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\";
constexpr wchar_t kUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

HKEY Create(HKEY root, const std::wstring& path, REGSAM view = k64) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
        ERROR_SUCCESS)
        << Narrow(path);
    return key;
}
void SetValue(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view = k64) {
    tavo::ScopedRegKey key(Create(root, path, view));
    EXPECT_EQ(RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4),
              ERROR_SUCCESS);
}
void SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text) {
    tavo::ScopedRegKey key(Create(root, path));
    EXPECT_EQ(RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}
std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name) {
    wchar_t text[MAX_PATH] = {};
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | k64, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes) !=
            ERROR_SUCCESS)
        return {};
    return text;
}
bool HasValue(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view = k64) {
    tavo::ScopedRegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) == ERROR_SUCCESS &&
           RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// A registry link at `path` (64-bit view) to the native key path `target`.
void MakeLink(HKEY root, const std::wstring& path, const std::wstring& target) {
    tavo::ScopedRegKey link;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                              KEY_ALL_ACCESS | KEY_CREATE_LINK | k64, nullptr, link.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.c_str()),
                             static_cast<DWORD>(target.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// A packed component code (the name of its key) in the compressed form that the installer's per-feature
// component lists hold: the GUID's four 32-bit words in memory order, five base-85 digits each, least
// significant first.
std::wstring Compressed(const std::wstring& packed) {
    static const wchar_t kDigits[] =
        L"!$%&'()*+,-.0123456789=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{}~";
    std::wstring out;
    for (int word = 0; word < 4; ++word) {
        unsigned long value = 0;
        for (int byte = 3; byte >= 0; --byte) {
            const size_t at = static_cast<size_t>(word * 8 + byte * 2);
            value = value << 8 | std::stoul(std::wstring{packed[at + 1], packed[at]}, nullptr, 16);
        }
        for (int digit = 0; digit < 5; ++digit, value /= 85) out.push_back(kDigits[value % 85]);
    }
    return out;
}

// In the view the uninstall sequence chooses (its console text is asserted by the whole-program test).
void RunCleanup() {
    RegistryViewFlag = IsNative64BitSystem() ? KEY_WOW64_64KEY : 0;
    CleanupRegistries();
}

DWORD RunMsiexec(const std::wstring& arguments) {
    return tavo::test::RunToEnd(L"msiexec.exe " + arguments + L" /qn");
}

}  // namespace

// Nothing of the suite is installed: only the empty upgrade keys go (a neighbour stays). The per-user one
// is a link, which would hand over another key's values as the suite's products: it is removed unread.
TEST(InstallerRecords, WithoutProductOnlyTheEmptyUpgradeKeysGo) {
    const std::wstring classes = kClasses, user = kUserInstaller, target = L"Software\\TavoListsSomeone";
    const std::wstring neighbour = classes + L"UpgradeCodes\\95E3B1A7C0D4F2E6A8B9C1D3E5F7A9B2";
    // Not the unrelated package's code: a product registered per user changes how msiexec installs it.
    const wchar_t kSomeone[] = L"00112233445566778899AABBCCDDEEFF";
    SetValue(HKEY_CURRENT_USER, target, kSomeone, 0);
    SetValue(HKEY_CURRENT_USER, user + L"Products\\" + kSomeone, L"v", 0);
    MakeLink(HKEY_CURRENT_USER, user + kSuiteUpgradeKey,
             L"\\Registry\\User\\" + tavo::test::OwnSid() + L"\\" + target);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, classes + kSuiteUpgradeKey));
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, kMachineData + std::wstring(kSuiteUpgradeKey)));
    SetValue(HKEY_LOCAL_MACHINE, neighbour, kOther);

    RunCleanup();

    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user + kSuiteUpgradeKey));
    EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, target, kSomeone, 0));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + L"Products\\" + kSomeone));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, classes + kSuiteUpgradeKey, k64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kMachineData + std::wstring(kSuiteUpgradeKey), k64));
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, neighbour, kOther));
}

// Both packages installed by msiexec; added by hand: the suite's per-user records, its records under a
// second user, a component it shares with the unrelated product, and a link from its tree to a key outside.
TEST(InstallerRecords, RealRecordsOfTheSuiteGoAndNobodyElsesAreTouched) {
    const std::wstring msi = tavo::test::BinPath(L"fixtures\\msi\\");
    const DWORD started = GetTickCount();
    ASSERT_EQ(RunMsiexec(L"/i \"" + msi + L"TAVOKIT.MSI\""), 0u);
    ASSERT_EQ(RunMsiexec(L"/i \"" + msi + L"unrelated.msi\""), 0u);
    std::printf("two installs by msiexec: %lu ms\n", GetTickCount() - started);
    ASSERT_EQ(MsiQueryProductStateW(kSuiteGuid), INSTALLSTATE_DEFAULT);

    const std::wstring user = kUserInstaller;
    SetValue(HKEY_CURRENT_USER, user + kSuiteUpgradeKey, kSuite, 0);
    // A user names the unrelated product too: its machine records must not follow the user's word.
    SetValue(HKEY_CURRENT_USER, user + kSuiteUpgradeKey, kOther, 0);
    // The default value (no name) is no product code: taken as one, it would name the whole uninstall list.
    SetValue(HKEY_CURRENT_USER, user + kSuiteUpgradeKey, L"", 0);
    SetValue(HKEY_CURRENT_USER, kUninstall + std::wstring(L"Someone"), L"DisplayName", 0);
    for (const wchar_t* list : {L"Products\\", L"Features\\"})
        SetValue(HKEY_CURRENT_USER, user + list + kSuite, L"v", 0);
    const std::wstring secondUser = std::wstring(kInstallerUserData) + L"\\" + kUserSid + L"\\Products\\";
    SetValue(HKEY_LOCAL_MACHINE, secondUser + kSuite + L"\\InstallProperties", L"DisplayName");
    // Windows Installer's cached copies of the two packages; and "cached packages" named in the suite's
    // records of two more users that are not in the cache folder itself: those files are someone else's.
    const std::wstring records = std::wstring(kSystemData) + L"Products\\";
    const std::wstring suitePackage =
        ReadText(HKEY_LOCAL_MACHINE, records + kSuite + L"\\InstallProperties", L"LocalPackage");
    const std::wstring otherPackage =
        ReadText(HKEY_LOCAL_MACHINE, records + kOther + L"\\InstallProperties", L"LocalPackage");
    ASSERT_TRUE(tavo::test::FileExists(suitePackage)) << Narrow(suitePackage);
    ASSERT_TRUE(tavo::test::FileExists(otherPackage)) << Narrow(otherPackage);
    // The product icons' folders (the suite's icon made read-only); a folder that somebody put into the
    // suite's keeps that folder.
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring cache = std::wstring(windows) + L"\\Installer\\";
    const std::wstring suiteIcon = cache + kSuiteGuid + L"\\product.ico",
                       otherIcon = cache + kOtherGuid + L"\\product.ico";
    ASSERT_TRUE(tavo::test::FileExists(suiteIcon)) << Narrow(suiteIcon);
    ASSERT_TRUE(CreateDirectoryW((cache + kSuiteGuid + L"\\somebody").c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(suiteIcon.c_str(), FILE_ATTRIBUTE_READONLY));
    const tavo::test::TempFolder temp;
    const std::wstring outside[] = {temp / L"someone.msi",
                                    std::wstring(windows) + L"\\Installer\\..\\someone.msi"};
    for (size_t i = 0; i < std::size(outside); ++i) {
        ASSERT_TRUE(tavo::test::WriteTextFile(outside[i], "someone's"));
        SetText(HKEY_LOCAL_MACHINE,
                std::wstring(kInstallerUserData) + L"\\S-1-5-21-1-2-3-100" + std::to_wstring(i) +
                    L"\\Products\\" + kSuite + L"\\InstallProperties",
                L"LocalPackage", outside[i]);
    }
    SetValue(HKEY_LOCAL_MACHINE, secondUser + kOther + L"\\InstallProperties", L"DisplayName");
    const std::wstring components = std::wstring(kSystemData) + L"Components\\";
    const std::wstring shared = components + L"5D4C3B2A1F0E9D8C7B6A594837261504";
    SetValue(HKEY_LOCAL_MACHINE, shared, kSuite);
    SetValue(HKEY_LOCAL_MACHINE, shared, kOther);
    // As the installer records a component that two products share: in a feature's list of each.
    for (const wchar_t* product : {kSuite, kOther}) {
        const std::wstring features = std::wstring(kSystemData) + L"Products\\" + product + L"\\Features";
        SetText(HKEY_LOCAL_MACHINE, features, L"Complete",
                ReadText(HKEY_LOCAL_MACHINE, features, L"Complete") +
                    Compressed(shared.substr(shared.size() - 32)));
    }
    // The suite's records name its components: a component they do not name is not looked at, whatever
    // values it holds.
    const std::wstring unnamed = components + L"0123456789ABCDEF0123456789ABCDEF";
    SetValue(HKEY_LOCAL_MACHINE, unnamed, kSuite);
    SetValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TavoOutside\\child", L"keep");
    MakeLink(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"Products\\" + kSuite + L"\\SourceList\\outside",
             L"\\Registry\\Machine\\SOFTWARE\\TavoOutside");
    // Client keys in both views, per-user ones, leftover values with neighbours, the suite's entry.
    for (REGSAM view : {k64, k32}) {
        for (const wchar_t* client :
             {L"Velnor\\Plugins\\sub", L"Velnor_Outlook", L"Velnor_Notes", L"Velnor\\Other"})
            SetValue(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\") + client, L"v", view);
    }
    for (const wchar_t* client : {L"Velnor\\Plugins", L"Velnor_Outlook", L"Velnor_Notes"})
        SetValue(HKEY_CURRENT_USER, std::wstring(L"Software\\") + client, L"v", 0);
    const wchar_t* leftovers[][2] = {
        {L"SOFTWARE\\Microsoft\\Internet Explorer\\Toolbar", L"{6D1F3A58-E2C7-4b09-8D4E-F1A2B7C93E06}"},
        {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"TAVOIM.exe"},
        {L"SOFTWARE\\Mozilla\\Firefox\\Extensions", L"tavosuite@orvanevelnor.com"}};
    for (const auto& leftover : leftovers) {
        SetValue(HKEY_LOCAL_MACHINE, leftover[0], leftover[1]);
        SetValue(HKEY_LOCAL_MACHINE, leftover[0], L"neighbour");
    }
    SetValue(HKEY_LOCAL_MACHINE, kSuiteUninstallKey, L"DisplayName");

    // The suite's two components lie next to each other: the second moves into the first's place and is
    // deleted in the same pass.
    RegistryViewFlag = IsNative64BitSystem() ? KEY_WOW64_64KEY : 0;
    DeleteComponentsOfProduct(L"S-1-5-18", kSuite);
    for (const wchar_t* component :
         {L"3A6B9C1D0E2F4A5B6C7D8E9F0A1B2C3D", L"3A6B9C1D0E2F4A5B6C7D8E9F0A1B2C3E"})
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, components + component, k64)) << Narrow(component);
    RunCleanup();

    EXPECT_EQ(MsiQueryProductStateW(kSuiteGuid), INSTALLSTATE_UNKNOWN);
    EXPECT_EQ(MsiQueryProductStateW(kOtherGuid), INSTALLSTATE_DEFAULT);
    const std::wstring classes = kClasses, data = kSystemData;
    for (const auto& [root, path] : std::initializer_list<std::pair<HKEY, std::wstring>>{
             {HKEY_LOCAL_MACHINE, classes + kSuiteUpgradeKey},
             {HKEY_LOCAL_MACHINE, classes + L"Products\\" + kSuite},
             {HKEY_LOCAL_MACHINE, classes + L"Features\\" + kSuite},
             {HKEY_LOCAL_MACHINE, kMachineData + std::wstring(kSuiteUpgradeKey)},
             {HKEY_LOCAL_MACHINE, data + L"Products\\" + kSuite},
             {HKEY_LOCAL_MACHINE, secondUser + kSuite},
             {HKEY_LOCAL_MACHINE, kUninstall + std::wstring(kSuiteGuid)},
             {HKEY_LOCAL_MACHINE, kSuiteUninstallKey},
             {HKEY_CURRENT_USER, user + kSuiteUpgradeKey},
             {HKEY_CURRENT_USER, user + L"Products\\" + kSuite},
             {HKEY_CURRENT_USER, user + L"Features\\" + kSuite}}) {
        for (REGSAM view : {k64, k32}) EXPECT_FALSE(KeyExists(root, path, view)) << Narrow(path);
    }
    for (const std::wstring& path :
         {classes + L"UpgradeCodes\\95E3B1A7C0D4F2E6A8B9C1D3E5F7A9B2", classes + L"Products\\" + kOther,
          classes + L"Features\\" + kOther, data + L"Products\\" + kOther + L"\\InstallProperties",
          secondUser + kOther, components + L"1B7E5D3C9A8F6E4D2C1B0A9F8E7D6C5B",
          components + L"6C2D4E8F0A1B3C5D7E9F1A3B5C7D9E1F", std::wstring(L"SOFTWARE\\TavoOutside\\child")}) {
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, path, k64)) << Narrow(path);
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kUninstall + std::wstring(kOtherGuid),
                          tavo::test::SixtyFourBitWindows() ? k32 : 0));
    EXPECT_FALSE(tavo::test::FileExists(suitePackage)) << Narrow(suitePackage);
    EXPECT_TRUE(tavo::test::FileExists(otherPackage)) << Narrow(otherPackage);
    EXPECT_FALSE(tavo::test::FileExists(suiteIcon));
    EXPECT_TRUE(tavo::test::FileExists(cache + kSuiteGuid + L"\\somebody"));
    EXPECT_TRUE(tavo::test::FileExists(otherIcon));
    RemoveDirectoryW((cache + kSuiteGuid + L"\\somebody").c_str());
    RemoveDirectoryW((cache + kSuiteGuid).c_str());
    for (const std::wstring& path : outside) {
        EXPECT_TRUE(tavo::test::FileExists(path)) << Narrow(path);
        DeleteFileW(path.c_str());
    }
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, shared, kOther));
    EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, shared, kSuite));
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, unnamed, kSuite));

    for (REGSAM view : {k64, k32}) {
        for (const wchar_t* client : {L"Velnor\\Plugins", L"Velnor_Outlook", L"Velnor_Notes"})
            EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\") + client, view))
                << Narrow(client);
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velnor\\Other", view));
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kUninstall + std::wstring(L"Someone")));
    for (const wchar_t* client : {L"Velnor\\Plugins", L"Velnor_Outlook", L"Velnor_Notes"})
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(L"Software\\") + client, 0));
    for (const auto& leftover : leftovers) {
        EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, leftover[0], leftover[1])) << Narrow(leftover[1]);
        EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, leftover[0], L"neighbour"));
    }

    // The unrelated product still uninstalls.
    EXPECT_EQ(RunMsiexec(std::wstring(L"/x ") + kOtherGuid), 0u);
    EXPECT_EQ(MsiQueryProductStateW(kOtherGuid), INSTALLSTATE_UNKNOWN);
}

namespace {

// The suite's per-feature component lists cannot be read as such: every component key is asked for the
// suite's value, once for all users. The result is the same: its own components go (also one that only a
// hand made), the shared one keeps the other product's value, the other product's stay.
TEST(InstallerRecords, WithoutAReadableComponentRecordEveryComponentIsAskedOnce) {
    const std::wstring msi = tavo::test::BinPath(L"fixtures\\msi\\");
    ASSERT_EQ(RunMsiexec(L"/i \"" + msi + L"TAVOKIT.MSI\""), 0u);
    ASSERT_EQ(RunMsiexec(L"/i \"" + msi + L"unrelated.msi\""), 0u);
    const std::wstring data = kSystemData, components = data + L"Components\\";
    SetText(HKEY_LOCAL_MACHINE, data + L"Products\\" + kSuite + L"\\Features", L"Complete", L"no list");
    for (const wchar_t* user : {L"S-1-5-21-7-8-9-1001", L"S-1-5-21-7-8-9-1002"})
        SetValue(HKEY_LOCAL_MACHINE,
                 std::wstring(kInstallerUserData) + L"\\" + user + L"\\Products\\" + kSuite + L"\\Features",
                 L"Complete");
    const std::wstring handMade = components + L"0123456789ABCDEF0123456789ABCDEF",
                       shared = components + L"5D4C3B2A1F0E9D8C7B6A594837261504";
    SetValue(HKEY_LOCAL_MACHINE, handMade, kSuite);
    SetValue(HKEY_LOCAL_MACHINE, shared, kSuite);
    SetValue(HKEY_LOCAL_MACHINE, shared, kOther);

    RunCleanup();

    EXPECT_EQ(MsiQueryProductStateW(kSuiteGuid), INSTALLSTATE_UNKNOWN);
    for (const std::wstring& gone : {components + L"3A6B9C1D0E2F4A5B6C7D8E9F0A1B2C3D",
                                     components + L"3A6B9C1D0E2F4A5B6C7D8E9F0A1B2C3E", handMade})
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, gone, k64)) << Narrow(gone);
    for (const std::wstring& kept :
         {components + L"1B7E5D3C9A8F6E4D2C1B0A9F8E7D6C5B", components + L"6C2D4E8F0A1B3C5D7E9F1A3B5C7D9E1F"})
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kept, k64)) << Narrow(kept);
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, shared, kOther));
    EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, shared, kSuite));
    EXPECT_EQ(RunMsiexec(std::wstring(L"/x ") + kOtherGuid), 0u);
}

}  // namespace
