#include "suite_installer.h"

#include <shlobj.h>

#include "registry/registry.h"
#include "shortcut/shortcut.h"
#include "support/scoped.h"

namespace tavo::test {

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";

std::wstring ProgramFilesFolder() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::wstring Programs(int csidl) {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// The registry views the suite writes to: the 32-bit one, and the 64-bit one on 64-bit Windows.
std::vector<DWORD> Views() {
    if (SixtyFourBitWindows()) return {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    return {0};
}

bool Write(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& text, DWORD view) {
    return WriteRegString(root, key.c_str(), name, text.c_str(), view, REG_SZ) != FALSE;
}

}  // namespace

SuiteInstaller::SuiteInstaller() : m_folder(ProgramFilesFolder() + L"\\Tavo Suite") {}

SuiteInstaller::~SuiteInstaller() = default;

bool SuiteInstaller::Step(const std::string& what, bool ok) {
    m_log += (ok ? "installed: " : "FAILED: ") + what + "\n";
    return ok;
}

bool SuiteInstaller::Install() {
    return Step("TAVOKIT.MSI by msiexec", InstallPackage()) &&
           Step("install folder: TavoRemover, plug-in host, libraries, 17 components, programs",
                CopyFiles()) &&
           Step("data tree of " + std::to_string(kDataFiles) + " files", WriteDataTree()) &&
           Step("product settings, client keys and leftover values", WriteSettings()) &&
           Step("components by regsvr32, host by /RegServer, update service running", Register()) &&
           Step("Start-menu shortcuts, uninstall entry, localized shortcuts", MakeShortcuts()) &&
           Step("the suite's programs running", StartPrograms()) &&
           Step("the host serving a connected plug-in", ConnectPlugin());
}

bool SuiteInstaller::InstallPackage() {
    return RunToEnd(L"msiexec.exe /i \"" + BinPath(L"fixtures\\msi\\TAVOKIT.MSI") + L"\" /qn") == 0;
}

bool SuiteInstaller::CopyFiles() {
    SHCreateDirectoryExW(nullptr, m_folder.c_str(), nullptr);
    const std::pair<const wchar_t*, const wchar_t*> files[] = {
        {L"TavoRemover.exe", L"TavoRemover.exe"},
        {L"tavopluginhost.exe", L"tavopluginhost.exe"},
        {L"fixtures\\manager\\full\\tavoMgr.dll", L"tavoMgr.dll"},
        {L"fixtures\\vlrtrace\\both\\vlrtrace.dll", L"vlrtrace.dll"},
        // The runtime library stands in as a library of no use to anybody.
        {L"fixtures\\vlrtrace\\none\\vlrtrace.dll", L"vcruntime140.dll"}};
    bool ok = true;
    for (const auto& [built, name] : files)
        ok &= CopyFileW(BinPath(built).c_str(), (*this / name).c_str(), 0) != 0;
    for (const std::wstring& name : ComponentInstall::k32Bit)
        ok &=
            CopyFileW(BinPath(L"fixtures\\com\\x86\\component.dll").c_str(), (*this / name).c_str(), 0) != 0;
    for (const std::wstring& name : ComponentInstall::k64Bit)
        ok &=
            CopyFileW(BinPath(L"fixtures\\com\\x64\\component.dll").c_str(), (*this / name).c_str(), 0) != 0;
    // The suite's other programs (copies of the suite-process fixture, each with its settings file).
    const std::pair<const wchar_t*, std::string> programs[] = {
        {L"tavoInst.exe", ""},
        {L"TAVOIM.exe", ""},
        {L"tavoUpdate.exe", "window_class=" + Narrow(kUpdaterWindowClass) + "\nclose_message=0x467"},
        {L"tavoVlrONI.exe", ""}};
    for (const auto& [name, settings] : programs)
        m_programs.push_back(std::make_unique<SuiteProcess>(m_folder, name, settings));
    return ok;
}

bool SuiteInstaller::WriteDataTree() {
    const std::wstring data = *this / L"data";
    bool ok = CreateDirectoryW(data.c_str(), nullptr) != 0;
    for (int i = 0; ok && i < kDataFiles; ++i) {
        const std::wstring folder = data + L"\\" + std::to_wstring(i / 100);
        if (i % 100 == 0) ok = CreateDirectoryW(folder.c_str(), nullptr) != 0;
        ok = ok &&
             WriteTextFile(folder + L"\\item" + std::to_wstring(i) + L".dat", "data " + std::to_string(i));
    }
    return ok;
}

bool SuiteInstaller::WriteSettings() {
    bool ok = true;
    for (DWORD view : Views()) {
        ok &= Write(HKEY_LOCAL_MACHINE, kProductKey, L"Path", m_folder, view);
        ok &= Write(HKEY_LOCAL_MACHINE, kProductKey, L"Version", L"5.2.0.1", view);
        ok &=
            Write(HKEY_LOCAL_MACHINE, std::wstring(kProductKey) + L"\\Settings", L"Language", L"1033", view);
        for (const wchar_t* client : {L"SOFTWARE\\Velnor_Outlook", L"SOFTWARE\\Velnor_Notes"})
            ok &= Write(HKEY_LOCAL_MACHINE, client, L"Path", m_folder, view);
    }
    ok &= Write(HKEY_CURRENT_USER, L"Software\\Velnor\\Plugins", L"Path", m_folder, 0);
    const wchar_t* leftovers[][2] = {
        {L"SOFTWARE\\Microsoft\\Internet Explorer\\Toolbar", L"{6D1F3A58-E2C7-4b09-8D4E-F1A2B7C93E06}"},
        {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"TAVOIM.exe"},
        {L"SOFTWARE\\Mozilla\\Firefox\\Extensions", L"tavosuite@orvanevelnor.com"}};
    for (const auto& leftover : leftovers)
        ok &= Write(HKEY_LOCAL_MACHINE, leftover[0], leftover[1], m_folder, Views().back());
    return ok;
}

bool SuiteInstaller::Register() {
    // RegTavoCOM as the installer runs it: regsvr32 for each component, "/RegServer" for the host.
    const DWORD registered =
        RunToEnd(L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" com \"" + m_folder + L"\" 1");
    m_service = std::make_unique<RunningService>();
    return registered == 0 && KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting") &&
           m_service->ok();
}

bool SuiteInstaller::MakeShortcuts() {
    CPluginsShortcut::CreateStartmenuShortcut(m_folder.c_str());
    CPluginsShortcut::CreateUninstallerReg(m_folder.c_str(), L"5.2.0.1");
    const std::wstring user = Programs(CSIDL_PROGRAMS), target = *this / L"tavoInst.exe";
    bool ok = true;
    for (const std::wstring& path :
         {user + L"\\Orvane Velnor Tavo Suite\\卸载.lnk", user + L"\\Orvane Velnor Tavo Suite\\Справка.lnk",
          user + L"\\Velnor\\Orvane Velnor Tavo Suite\\ヘルプ.lnk"}) {
        SHCreateDirectoryExW(nullptr, path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
        ok &= SUCCEEDED(
            CPluginsShortcut::CreateShortcutLink(path.c_str(), target.c_str(), nullptr, nullptr, 0));
    }
    return ok && CPluginsShortcut::IsUninstallerRegExist();
}

bool SuiteInstaller::StartPrograms() {
    bool ok = true;
    for (auto& program : m_programs) ok &= program->Start();
    return ok;
}

bool SuiteInstaller::ConnectPlugin() {
    // Under Wine a client finds the host's type library only through this alias (see host_harness.h):
    // needed while the plug-in connects, gone before the uninstaller runs.
    WineTypeLibAlias alias(*this / L"tavopluginhost.exe");
    m_pluginFiles = std::make_unique<TempFolder>(L"tavo-client");  // no blank: the script takes plain tokens
    const TempFolder& files = *m_pluginFiles;
    WriteTextFile(files / L"script.txt", "create Meeting\nadvise\nnames StartOCMeeting\ntouch " +
                                             Narrow(files / L"ready") + "\nwait-file " +
                                             Narrow(files / L"go") + " 600000\nnames StartOCMeeting\n");
    m_plugin = std::make_unique<HostProcess>();
    if (!m_plugin->Start(BinPath(L"fixtures\\plugin_client\\tavoplugin_client.exe"),
                         L"\"" + (files / L"script.txt") + L"\" \"" + (files / L"record.txt") + L"\""))
        return false;
    return WaitFor([&] { return FileExists(files / L"ready"); }, 60000);
}

std::string SuiteInstaller::FinishPlugin() {
    if (!m_plugin || !m_pluginFiles) return "";
    WriteTextFile(*m_pluginFiles / L"go", "");
    m_plugin->WaitExit(60000);
    std::string record = ReadFileBytes(*m_pluginFiles / L"record.txt");
    m_plugin.reset();
    m_pluginFiles.reset();
    return record;
}

}  // namespace tavo::test
