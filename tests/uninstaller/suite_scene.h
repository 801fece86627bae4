// The suite as the uninstaller's stopping and unregistering meet it on a test machine: copies of the
// suite-process fixture running under the suite's names, the update service fixture installed and
// running, and an install folder with the component fixture under the names of the suite's components.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host_harness.h"
#include "test_support.h"

namespace tavo::test {

inline constexpr wchar_t kUpdaterWindowClass[] = L"TAVO_UPDATE_1E5A9C3D-7B02-4f6e-A8D1-C4B2E9F07A35";

// A copy of the suite-process fixture as `folder`\`name` with `settings` ("key=value" lines) in its .ini,
// plus a stop event of its own. Start waits until it is ready; a process still running at destruction is
// terminated (HostProcess).
class SuiteProcess {
  public:
    SuiteProcess(const std::wstring& folder, const std::wstring& name, const std::string& settings = "");
    ~SuiteProcess();
    SuiteProcess(const SuiteProcess&) = delete;
    SuiteProcess& operator=(const SuiteProcess&) = delete;
    bool Start();
    void Stop() { SetEvent(stop_); }
    const std::wstring& exe() const { return exe_; }
    // The exit code once it has ended (waiting up to `ms`), STILL_ACTIVE while it runs.
    DWORD ExitCode(DWORD ms = 10000);

  private:
    std::wstring exe_;
    std::string stopName_;
    HANDLE stop_ = nullptr;
    HostProcess process_;
};

// The update service fixture installed and started as the suite's service; removed at destruction
// when it is still there.
class RunningService {
  public:
    RunningService();
    ~RunningService();
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;
    bool ok() const { return ok_; }
    static bool Exists();

  private:
    bool ok_ = false;
};

// An install folder of the test's own, named in the product key's "Path", with the component fixture
// under the nine 32-bit and eight 64-bit names; the product key and every class key the components
// may have left are removed at destruction.
class ComponentInstall {
  public:
    ComponentInstall();
    ~ComponentInstall();
    ComponentInstall(const ComponentInstall&) = delete;
    ComponentInstall& operator=(const ComponentInstall&) = delete;
    const std::wstring& folder() const { return folder_.path(); }
    std::wstring operator/(const std::wstring& name) const { return folder_ / name; }
    // The class keys registered now, as "<name>" for each component whose class is in its own view.
    std::vector<std::wstring> Registered() const;

    static const std::vector<std::wstring> k32Bit;
    static const std::vector<std::wstring> k64Bit;

  private:
    TempFolder folder_{L"tavo suite"};
};

// The class key the component fixture registers as `name` (Software\Classes\CLSID\{...}).
std::wstring ComponentClassKey(const std::wstring& name);

// The debug lines of the stopping step (those beginning with "Stop"), each run of equal
// "StopAllBackgroundProcess: Wait TAVOIM.exe exit!" or "StopTavoUpdProcess: Stop tavoupd.exe." lines
// counted once.
std::vector<std::string> StepLines(const std::vector<std::string>& debug);

}  // namespace tavo::test
