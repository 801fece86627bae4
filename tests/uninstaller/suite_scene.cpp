#include "suite_scene.h"

#include <cwchar>

#include "registry/registry.h"
#include "service/service_control.h"
#include "support/scoped.h"

namespace tavo::test {

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

SuiteProcess::SuiteProcess(const std::wstring& folder, const std::wstring& name, const std::string& settings)
    : exe_(folder + L"\\" + name) {
    static int counter = 0;
    stopName_ = "tavo-stop-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, Wide(stopName_).c_str());
    CopyFileW(BinPath(L"fixtures\\process\\suite_process.exe").c_str(), exe_.c_str(), FALSE);
    const std::wstring ini = exe_.substr(0, exe_.find_last_of(L'.')) + L".ini";
    WriteTextFile(ini, "[fixture]\nstop_event=" + stopName_ + "\nready_event=" + stopName_ + "-ready\n" +
                           settings + "\n");
}

SuiteProcess::~SuiteProcess() {
    if (stop_) CloseHandle(stop_);
}

bool SuiteProcess::Start() {
    ScopedHandle ready(CreateEventW(nullptr, TRUE, FALSE, Wide(stopName_ + "-ready").c_str()));
    if (!process_.Start(exe_)) return false;
    HANDLE waits[] = {ready.get(), process_.handle()};
    return WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
}

DWORD SuiteProcess::ExitCode(DWORD ms) { return process_.WaitExit(ms) ? process_.exitCode() : STILL_ACTIVE; }

RunningService::RunningService() {
    if (!SvcInstall(BinPath(L"fixtures\\service\\velnorservice.exe").c_str())) return;
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScopedServiceHandle service(OpenServiceW(manager.get(), service::kServiceName, SERVICE_ALL_ACCESS));
    if (!service || !StartServiceW(service.get(), 0, nullptr)) return;
    SERVICE_STATUS status = {};
    for (int i = 0; i < 200 && QueryServiceStatus(service.get(), &status); ++i) {
        if (status.dwCurrentState == SERVICE_RUNNING) break;
        Sleep(50);
    }
    ok_ = status.dwCurrentState == SERVICE_RUNNING;
}

RunningService::~RunningService() {
    if (Exists()) SvcUninstall();
    WaitForProcessExit(service::kServiceImageName, 30);
}

bool RunningService::Exists() {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScopedServiceHandle service(OpenServiceW(manager.get(), service::kServiceName, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

const std::vector<std::wstring> ComponentInstall::k32Bit = {
    L"tavousredt.DLL", L"tavooiEnt.dll", L"tavoOIVendor.dll", L"tavoONIUI.dll", L"tavoolkadd.dll",
    L"tavoVLRURL.DLL", L"tavovlrms.dll", L"tavoonecli.dll",   L"tavoVlrst.dll"};
const std::vector<std::wstring> ComponentInstall::k64Bit = {
    L"tavousredt64.DLL", L"tavooiEnt64.dll",  L"tavoOIVendor64.dll", L"tavoONIUI64.dll",
    L"tavoolkadd64.dll", L"tavoVLRURL64.DLL", L"tavovlrms64.dll",    L"tavoVlrst64.dll"};

ComponentInstall::ComponentInstall() {
    for (const std::wstring& name : k32Bit)
        CopyFileW(BinPath(L"fixtures\\com\\x86\\component.dll").c_str(), (folder_ / name).c_str(), FALSE);
    for (const std::wstring& name : k64Bit)
        CopyFileW(BinPath(L"fixtures\\com\\x64\\component.dll").c_str(), (folder_ / name).c_str(), FALSE);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder().c_str()),
                       static_cast<DWORD>((folder().size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

ComponentInstall::~ComponentInstall() {
    DeleteRegKey(HKEY_LOCAL_MACHINE, kProductKey, 0);
    for (const std::wstring& name : k32Bit)
        DeleteRegKey(HKEY_LOCAL_MACHINE, ComponentClassKey(name).c_str(), 0);
    if (SixtyFourBitWindows()) {
        for (const std::wstring& name : k64Bit)
            DeleteRegKey(HKEY_LOCAL_MACHINE, ComponentClassKey(name).c_str(), KEY_WOW64_64KEY);
    }
}

std::vector<std::wstring> ComponentInstall::Registered() const {
    std::vector<std::wstring> names;
    for (const std::wstring& name : k32Bit)
        if (KeyExists(HKEY_LOCAL_MACHINE, ComponentClassKey(name), KEY_WOW64_32KEY)) names.push_back(name);
    if (SixtyFourBitWindows()) {
        for (const std::wstring& name : k64Bit)
            if (KeyExists(HKEY_LOCAL_MACHINE, ComponentClassKey(name), KEY_WOW64_64KEY))
                names.push_back(name);
    }
    return names;
}

std::wstring ComponentClassKey(const std::wstring& name) {
    DWORD hash = 2166136261u;
    for (wchar_t c : name) hash = (hash ^ static_cast<DWORD>(towlower(c))) * 16777619u;
    wchar_t key[128] = {};
    swprintf(key, 128, L"Software\\Classes\\CLSID\\{F1C7A0DE-0000-4000-8000-0000%08lX}",
             static_cast<unsigned long>(hash));
    return key;
}

std::vector<std::string> StepLines(const std::vector<std::string>& debug) {
    // Their number depends on how fast processes end: one per poll, and one per kill 100 ms apart.
    const std::string repeated[] = {"StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n",
                                    "StopTavoUpdProcess: Stop tavoupd.exe.\n"};
    std::vector<std::string> lines;
    for (const std::string& line : debug) {
        if (line.rfind("Stop", 0) != 0) continue;
        const bool again = !lines.empty() && lines.back() == line;
        if (again && (line == repeated[0] || line == repeated[1])) continue;
        lines.push_back(line);
    }
    return lines;
}

}  // namespace tavo::test
