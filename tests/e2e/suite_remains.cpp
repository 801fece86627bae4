#include "suite_remains.h"

#include <windows.h>

#include <cstdio>
#include <map>
#include <vector>

#include "test_support.h"

namespace tavo::test {

namespace {

// What stays, each with its reason. Only additions and changed values may be expected: whatever was on
// the machine before the install and is missing afterwards is always a fault.
constexpr char kInstallerLists[] = "Windows Installer's own lists, made at the machine's first install";
constexpr char kMaker[] =
    "the maker's key or folder above the suite's: it may hold the maker's other products";
constexpr char kBrowser[] =
    "the browsers' keys that held the suite's leftover values (the clean machine has no browser: the "
    "installer made them)";
constexpr char kConsole[] = "the console's settings, written when the user's first console window opens";
const footprint::Remain kExpectedRemains[] = {
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

const footprint::Remain* Expected(const footprint::Change& change) {
    if (change.kind == '-') return nullptr;
    for (const footprint::Remain& remain : kExpectedRemains) {
        if (footprint::Matches(remain.pattern, change.entry)) return &remain;
    }
    return nullptr;
}

}  // namespace

bool PrivateFolderInTemp() {
    for (const std::wstring& name : FolderEntries(TempFolderPath().substr(0, TempFolderPath().size() - 1))) {
        if (name.rfind(L"TavoRemover-", 0) == 0) return true;
    }
    return false;
}

// The uninstaller's console without the paths the file-system steps print (more than ten thousand).
std::string Readable(const std::string& output, size_t& paths) {
    std::string kept;
    paths = 0;
    for (const std::string& line : SplitLines(Unix(output))) {
        // A path line; one that reports what goes at the next restart, or who holds it, is kept.
        if (line.rfind("C:\\", 0) == 0 &&
            line.find(" will be deleted at the next restart") == std::string::npos &&
            line.find(" is in use by ") == std::string::npos)
            ++paths;
        else
            kept += line + "\n";
    }
    return kept;
}

std::string UnexpectedChanges(const footprint::Footprint& before, const footprint::Footprint& after) {
    // Printed by reason, in the list's order: the reason, then what it covers.
    std::string unexpected;
    std::map<std::string, std::vector<std::string>> expected;
    for (const footprint::Change& change : footprint::Difference(before, after)) {
        const footprint::Remain* remain = Expected(change);
        if (remain)
            expected[remain->reason].push_back(change.Describe());
        else
            unexpected += change.Describe() + "\n";
    }
    std::printf("---- left on the machine, as expected\n");
    for (const footprint::Remain& remain : kExpectedRemains) {
        const auto found = expected.find(remain.reason);
        if (found == expected.end()) continue;
        std::printf("%s:\n", remain.reason);
        for (size_t i = 0; i < found->second.size() && i < 3; ++i)
            std::printf("    %s\n", found->second[i].c_str());
        if (found->second.size() > 3) std::printf("    ... and %zu more\n", found->second.size() - 3);
        expected.erase(found);
    }
    std::printf("----\n");
    return unexpected;
}

}  // namespace tavo::test
