// Installs the whole suite on a throw-away test machine as its real installer would, so that the uninstaller
// meets everything it removes: the suite's installer package installed by msiexec, the install folder (the
// package's folder in Program Files) with TavoRemover, the plug-in host, the trace and runtime libraries,
// the seventeen component libraries, the suite's other programs and a data tree, the product settings in
// both registry views, the components and the host registered, the update service running, the Start-menu
// shortcuts and the uninstall entry, localized shortcuts in the per-user Programs folder, the client keys
// and leftover values, the suite's programs running and the host serving a connected plug-in.
//
// Everything lives on the machine until the uninstaller removes it; the object only owns the processes it
// started (ended at destruction when still running) and the plug-in's script folder.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "host_harness.h"
#include "suite_scene.h"
#include "test_support.h"

namespace tavo::test {

class SuiteInstaller {
  public:
    // The files of the data tree, spread over folders of a hundred.
    static constexpr int kDataFiles = 10000;

    SuiteInstaller();
    ~SuiteInstaller();
    SuiteInstaller(const SuiteInstaller&) = delete;
    SuiteInstaller& operator=(const SuiteInstaller&) = delete;

    // Runs every step in order and stops at the first that fails; `log` tells what was done, one line a
    // step, and which step failed.
    bool Install();
    const std::string& log() const { return m_log; }
    // "<Program Files>\Tavo Suite", the package's folder (Program Files (x86) on 64-bit Windows).
    const std::wstring& folder() const { return m_folder; }
    std::wstring operator/(const std::wstring& name) const { return m_folder + L"\\" + name; }

    // Lets the connected plug-in make one more call and gives its record once it ended: after the
    // uninstall the call fails because the host is gone.
    std::string FinishPlugin();

  private:
    bool Step(const std::string& what, bool ok);
    bool InstallPackage();
    bool CopyFiles();
    bool WriteDataTree();
    bool WriteSettings();
    bool Register();
    bool MakeShortcuts();
    bool StartPrograms();
    bool ConnectPlugin();

    std::wstring m_folder;
    std::string m_log;
    std::vector<std::unique_ptr<SuiteProcess>> m_programs;
    std::unique_ptr<RunningService> m_service;
    std::unique_ptr<TempFolder> m_pluginFiles;
    std::unique_ptr<HostProcess> m_plugin;
};

}  // namespace tavo::test
