#include "suite_remains.h"

#include "test_support.h"

namespace tavo::test {
namespace {

constexpr char kInstallerLists[] = "Windows Installer's own lists, made at the machine's first install";
constexpr char kMaker[] =
    "the maker's key or folder above the suite's: it may hold the maker's other products";
constexpr char kBrowser[] =
    "the browsers' keys that held the suite's leftover values (the clean machine has no browser: the "
    "installer made them)";
constexpr char kConsole[] = "the console's settings, written when the user's first console window opens";

const footprint::Remain kSuiteRemains[] = {
    {L"HKLM*\\System\\CurrentControlSet\\Control\\ServiceCurrent\\:",
     "the service control manager's own counter, raised whenever a service starts (the update service ran)"},
    {L"C:\\windows\\Installer", "Windows Installer's cache folder, made at the machine's first install"},
    {L"HKLM*\\Software\\Classes\\Installer", kInstallerLists},
    {L"HKLM*\\Software\\Classes\\Installer\\Features", kInstallerLists},
    {L"HKLM*\\Software\\Classes\\Installer\\Products", kInstallerLists},
    {L"HKLM*\\Software\\Classes\\Installer\\UpgradeCodes", kInstallerLists},
    {L"HKLM*\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes", kInstallerLists},
    {L"HKLM*\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData", kInstallerLists},
    {L"HKLM*\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18", kInstallerLists},
    {L"HKLM*\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components",
     kInstallerLists},
    {L"HKLM*\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products",
     kInstallerLists},
    {L"HKLM*\\Software\\Velnor", kMaker},
    {L"HKLM64\\Software\\Wow6432Node\\Velnor", kMaker},
    {L"HKU*\\S-1-5-21-*\\Software\\Velnor", kMaker},
    {L"C:\\users\\*\\Start Menu\\Programs\\Velnor", kMaker},
    {L"HKLM*\\Software\\Microsoft\\Internet Explorer\\Toolbar", kBrowser},
    {L"HKLM*\\Software\\Mozilla", kBrowser},
    {L"HKLM*\\Software\\Mozilla\\Firefox", kBrowser},
    {L"HKLM*\\Software\\Mozilla\\Firefox\\Extensions", kBrowser},
    {L"HKU*\\S-1-5-21-*\\Console", kConsole},
    {L"HKU*\\S-1-5-21-*\\Console\\:*", kConsole},
    {L"HKU*\\S-1-5-21-*\\Software\\Microsoft\\Internet "
     L"Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION",
     "Wine: made by its browser engine when it is first loaded"},
    // The display device's GUID is Wine's own choice and differs from one machine to the next.
    {L"HKLM*\\System\\CurrentControlSet\\Control\\Video\\{*}*",
     "Wine: its display driver's registration, written when the first window opens"},
};

}  // namespace

std::span<const footprint::Remain> SuiteRemains() { return kSuiteRemains; }

const footprint::Remain* ExpectedSuiteRemain(const footprint::Change& change) {
    if (change.kind == '-') return nullptr;
    for (const footprint::Remain& remain : kSuiteRemains) {
        if (footprint::Matches(remain.pattern, change.entry)) return &remain;
    }
    return nullptr;
}

bool PrivateFolderInTemp() {
    const std::wstring temp = TempFolderPath();
    for (const std::wstring& name : FolderEntries(temp.substr(0, temp.size() - 1))) {
        if (name.rfind(L"TavoRemover-", 0) == 0) return true;
    }
    return false;
}

std::string UnexpectedSuiteChanges(const footprint::Footprint& before, const footprint::Footprint& after) {
    std::string unexpected;
    for (const footprint::Change& change : footprint::Difference(before, after)) {
        if (!ExpectedSuiteRemain(change)) unexpected += change.Describe() + "\n";
    }
    return unexpected;
}

}  // namespace tavo::test
