// Control of the update service against the machine's real Service Control Manager, with the service
// fixture velnorservice.exe (tests/fixtures/service) installed, started, stopped and deleted for real.
// The event-log lines are checked by service_eventlog_check.sh (the system writes them on the writing
// process's standard error, which a parent program cannot capture under Wine).
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "service/service_control.h"
#include "support/scoped.h"
#include "test_support.h"

using tavo::ScopedHandle;
using tavo::ScopedServiceHandle;
using tavo::test::BinPath;
using tavo::test::Narrow;
using tavo::test::SplitLines;
using tavo::test::TempFolder;
namespace svc = tavo::service;

namespace {

const wchar_t* const kName = svc::kServiceName;

std::wstring FixtureExe() { return BinPath(L"fixtures\\service\\velnorservice.exe"); }

ScopedServiceHandle OpenManager() {
    return ScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// Stops and deletes the service when it is there, and waits until its program has exited: every test
// leaves the machine without it.
void RemoveServiceIfPresent() {
    ScopedServiceHandle manager = OpenManager();
    ScopedServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
    if (service) {
        SERVICE_STATUS status = {};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 300 && QueryServiceStatus(service.get(), &status); ++i) {
            if (status.dwCurrentState == SERVICE_STOPPED) break;
            Sleep(100);
        }
        DeleteService(service.get());
    }
    WaitForProcessExit(svc::kServiceImageName, 30);
}

struct ServiceCleanup {
    ServiceCleanup() { RemoveServiceIfPresent(); }
    ~ServiceCleanup() { RemoveServiceIfPresent(); }
};

struct Config {
    bool ok = false;
    std::wstring binaryPath, displayName, startName, loadOrderGroup, dependencies;
    DWORD serviceType = 0, startType = 0, errorControl = 0, tagId = 0;
    std::wstring description;
};

Config ReadConfig() {
    Config config;
    ScopedServiceHandle manager = OpenManager();
    ScopedServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_QUERY_CONFIG));
    if (!service) return config;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), query, static_cast<DWORD>(buffer.size()), &needed)) return config;
    config.binaryPath = query->lpBinaryPathName ? query->lpBinaryPathName : L"";
    config.displayName = query->lpDisplayName ? query->lpDisplayName : L"";
    config.startName = query->lpServiceStartName ? query->lpServiceStartName : L"";
    config.loadOrderGroup = query->lpLoadOrderGroup ? query->lpLoadOrderGroup : L"";
    config.dependencies = query->lpDependencies ? query->lpDependencies : L"";
    config.serviceType = query->dwServiceType;
    config.startType = query->dwStartType;
    config.errorControl = query->dwErrorControl;
    config.tagId = query->dwTagId;
    std::vector<BYTE> description(8192);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(),
                             static_cast<DWORD>(description.size()), &needed)) {
        auto* text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
        config.description = text->lpDescription ? text->lpDescription : L"";
    }
    config.ok = true;
    return config;
}

DWORD CurrentState() {
    ScopedServiceHandle manager = OpenManager();
    ScopedServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

bool WaitForState(DWORD state, DWORD timeoutMs = 30000) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        if (CurrentState() == state) return true;
        Sleep(100);
    }
    return false;
}

// Starts the installed service directly with the given arguments (the service name first).
bool StartWith(std::vector<const wchar_t*> arguments) {
    arguments.insert(arguments.begin(), kName);
    ScopedServiceHandle manager = OpenManager();
    ScopedServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_START));
    return service && StartServiceW(service.get(), static_cast<DWORD>(arguments.size()), arguments.data());
}

bool Control(DWORD control) {
    ScopedServiceHandle manager = OpenManager();
    ScopedServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
    SERVICE_STATUS status = {};
    return service && ControlService(service.get(), control, &status);
}

bool AclHasAllowedEntry(PACL acl, PSID sid, DWORD mask) {
    if (!acl) return false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace)) continue;
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (EqualSid(&allowed->SidStart, sid) && allowed->Mask == mask) return true;
    }
    return false;
}

}  // namespace

TEST(ServiceCommandLine, JoinsArgumentsAndQuotesThoseWithBlanks) {
    const wchar_t* plain[] = {L"C:\\Velnor\\velnorservice.exe"};
    wchar_t* line = BuildServiceCommandLine(1, plain);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, L"C:\\Velnor\\velnorservice.exe");
    free(line);

    const wchar_t* mixed[] = {L"C:\\Program Files\\Velnor\\velnorservice.exe", L"/update", L"two words", L"",
                              L"\"already quoted\""};
    line = BuildServiceCommandLine(5, mixed);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(
        line, L"\"C:\\Program Files\\Velnor\\velnorservice.exe\" /update \"two words\"  \"already quoted\"");
    free(line);

    // Elements of the longest allowed length (259 characters) with blanks: quoted in full, nothing cut.
    std::wstring longest(259, L'x');
    longest[100] = L' ';
    const wchar_t* big[] = {longest.c_str(), longest.c_str()};
    line = BuildServiceCommandLine(2, big);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::wstring(line), L"\"" + longest + L"\" \"" + longest + L"\"");
    free(line);

    EXPECT_EQ(BuildServiceCommandLine(-1, plain), nullptr);
    EXPECT_EQ(BuildServiceCommandLine(0, plain), nullptr);
    EXPECT_EQ(BuildServiceCommandLine(1, nullptr), nullptr);
}

namespace {
std::wstring FormatEvent(const wchar_t* format, ...) {
    wchar_t buffer[svc::kServiceEventChars + 8];
    wmemset(buffer, L'#', svc::kServiceEventChars + 8);
    va_list args;
    va_start(args, format);
    FormatServiceEventV(buffer, format, args);
    va_end(args);
    // Nothing past the 512-character buffer is touched.
    for (int i = svc::kServiceEventChars; i < svc::kServiceEventChars + 8; ++i) EXPECT_EQ(buffer[i], L'#');
    return buffer;
}
}  // namespace

TEST(ServiceEventText, FormatsAndCutsAt511Characters) {
    EXPECT_EQ(FormatEvent(L"%s::OpenSCManager(%d)", L"SvcStop", 5), L"SvcStop::OpenSCManager(5)");
    EXPECT_EQ(FormatEvent(L"%s::%lu.%lu.%lu.%lu", L"log_version", 1ul, 2ul, 3ul, 65535ul),
              L"log_version::1.2.3.65535");
    const std::wstring exact(511, L'e');
    EXPECT_EQ(FormatEvent(L"%s", exact.c_str()), exact);
    std::wstring text;
    for (int i = 0; i < 600; ++i) text.push_back(static_cast<wchar_t>(L'a' + i % 26));
    EXPECT_EQ(FormatEvent(L"%s", text.c_str()), text.substr(0, 511));
    EXPECT_EQ(FormatEvent(L"%s::%s", L"x", text.c_str()), (L"x::" + text).substr(0, 511));
}

TEST(ServiceWait, MissingServiceAndProcesses) {
    ServiceCleanup cleanup;
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 238u);
    EXPECT_EQ(WaitForServiceStopped(kName, 0), 238u);  // opening comes before the zero-second answer
    EXPECT_EQ(WaitForServiceStopped(L"Bad\\Name", 1), 237u);
    EXPECT_EQ(WaitForServiceStopped(L"", 1), 237u);
    const wchar_t* arguments[] = {kName};
    EXPECT_EQ(StartUpdateService(1, arguments), 20238u);
    EXPECT_EQ(RunUpdateCommand(1, L"record=C:\\nothing.txt"), 20238u);
    EXPECT_FALSE(SvcStop());
    EXPECT_FALSE(SvcUninstall());

    EXPECT_EQ(WaitForProcessExit(L"no-such-program.exe", 3), 0u);
    EXPECT_EQ(WaitForProcessExit(L"SERVICE_TEST.EXE", 1), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForProcessExit(L"service_test.exe", 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// The wait for the service program's end lasts until the last process of its name has ended: two copies
// of a program under one name, which end by themselves one after the other.
TEST(ServiceWait, ProcessExitLastsUntilTheLastProcessOfTheNameHasEnded) {
    TempFolder folder(L"tavo-wait");
    std::vector<ScopedHandle> processes;
    for (const char* after : {"300", "1500"}) {
        const std::wstring exe = folder / (L"copy" + std::to_wstring(processes.size())) + L"\\waited.exe";
        ASSERT_TRUE(CreateDirectoryW(exe.substr(0, exe.rfind(L'\\')).c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\process\\suite_process.exe").c_str(), exe.c_str(), FALSE));
        ASSERT_TRUE(tavo::test::WriteTextFile(exe.substr(0, exe.size() - 4) + L".ini",
                                              std::string("[fixture]\nexit_after=") + after + "\n"));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                   folder.path().c_str(), &startup, &info));
        CloseHandle(info.hThread);
        processes.emplace_back(info.hProcess);
    }
    EXPECT_EQ(WaitForProcessExit(L"WAITED.EXE", 30), 0u);
    for (const ScopedHandle& process : processes)
        EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
}

TEST(ServiceCompletion, SignalReachesAWaiterAndIsLostWithoutOne) {
    // Nobody holds the event: the signal has nowhere to go and creates nothing.
    EXPECT_EQ(SignalUpdateCommandDone(), 0u);
    EXPECT_EQ(ScopedHandle(OpenEventW(SYNCHRONIZE, FALSE, svc::kCompletionEventName)).get(), nullptr);
    EXPECT_EQ(WaitForUpdateCommandDone(100), static_cast<DWORD>(WAIT_TIMEOUT));

    // A waiter holds the event (as the starting process does while the service works): the signal sets
    // it, and a wait on it then returns at once; auto-reset, it is clear again afterwards.
    {
        ScopedHandle held(CreateEventW(nullptr, FALSE, FALSE, L"Global\\WaitForUpdateCommandExcuted"));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(WaitForUpdateCommandDone(50), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(SignalUpdateCommandDone(), 0u);
        EXPECT_EQ(WaitForUpdateCommandDone(5000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(WaitForSingleObject(held.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(SignalUpdateCommandDone(), 0u);
        EXPECT_EQ(WaitForSingleObject(held.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    // The event lived only while the waiter held it.
    EXPECT_EQ(ScopedHandle(OpenEventW(SYNCHRONIZE, FALSE, svc::kCompletionEventName)).get(), nullptr);
}

TEST(ServiceInstall, NewServiceQuotedPathDescriptionThenExistingUnchanged) {
    ServiceCleanup cleanup;
    TempFolder folder(L"tavo-service");
    const std::wstring blankFolder = folder / L"Velnor Service";
    ASSERT_TRUE(CreateDirectoryW(blankFolder.c_str(), nullptr));
    const std::wstring exe = blankFolder + L"\\velnorservice.exe";
    ASSERT_TRUE(CopyFileW(FixtureExe().c_str(), exe.c_str(), FALSE));

    ASSERT_TRUE(SvcInstall(exe.c_str()));
    Config config = ReadConfig();
    ASSERT_TRUE(config.ok);
    EXPECT_EQ(config.binaryPath, L"\"" + exe + L"\"");
    EXPECT_EQ(config.displayName, L"Orvane Velnor Tavo Suite Update Service");
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.startName, L"LocalSystem");
    EXPECT_EQ(config.loadOrderGroup, L"");
    EXPECT_EQ(config.dependencies, L"");
    EXPECT_EQ(config.tagId, 0u);
    EXPECT_EQ(config.description, svc::kServiceDescription);
    EXPECT_EQ(std::wstring(svc::kServiceDescription).substr(0, 46),
              L"Keeps your Orvane Velnor software up to date. ");

    // Installed and stopped: the wait sees the stopped state; a wait of 0 seconds answers 207.
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 1u);
    EXPECT_EQ(WaitForServiceStopped(kName, 0), 207u);

    // The Users group's entry: the merged list holds it; the call path succeeds end to end.
    {
        ScopedServiceHandle manager = OpenManager();
        ScopedServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service.valid());
        PACL merged = nullptr;
        EXPECT_EQ(BuildAndApplyUsersServiceDACL(service.get(), &merged), 0u);
        tavo::ScopedLocalMemory owner(merged);
        BYTE users[SECURITY_MAX_SID_SIZE] = {};
        DWORD size = sizeof(users);
        ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
        EXPECT_TRUE(AclHasAllowedEntry(merged, users, 0x80000030));
        EXPECT_TRUE(SetUserAccessServiceDACL(service.get()));
        EXPECT_FALSE(SetUserAccessServiceDACL(nullptr));
        // What the service's stored DACL says afterwards (the system may keep none).
        DWORD needed = 0;
        QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
        std::vector<BYTE> descriptor(needed ? needed : 64);
        if (QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                       static_cast<DWORD>(descriptor.size()), &needed)) {
            BOOL present = FALSE, defaulted = FALSE;
            PACL stored = nullptr;
            GetSecurityDescriptorDacl(descriptor.data(), &present, &stored, &defaulted);
            std::printf("stored service DACL: present=%d entries=%u users-entry=%d\n", present,
                        stored ? stored->AceCount : 0u,
                        AclHasAllowedEntry(stored, users, 0x80000030) ? 1 : 0);
        }
        EXPECT_TRUE(UpdateServiceDescription(service.get()));
    }

    // An existing service keeps its configuration, whatever path is given.
    EXPECT_TRUE(SvcInstall(L"C:\\Elsewhere\\other.exe"));
    EXPECT_TRUE(SvcInstall(nullptr));
    Config again = ReadConfig();
    EXPECT_EQ(again.binaryPath, config.binaryPath);
    EXPECT_EQ(again.displayName, config.displayName);
    EXPECT_EQ(again.startType, config.startType);
    EXPECT_EQ(again.description, config.description);

    // Uninstall of a stopped service deletes it without waiting.
    const DWORD before = GetTickCount();
    EXPECT_TRUE(SvcUninstall());
    EXPECT_LT(GetTickCount() - before, 5000u);
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 238u);

    // A service whose program is missing: every start attempt fails (50, 100 ms apart) and the last
    // error is the result.
    const std::wstring missing = folder / L"missing.exe";
    ASSERT_TRUE(SvcInstall(missing.c_str()));
    const wchar_t* arguments[] = {kName};
    const DWORD startedAt = GetTickCount();
    EXPECT_EQ(StartUpdateService(1, arguments), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_GE(GetTickCount() - startedAt, 4500u);
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 1u);
    EXPECT_TRUE(SvcUninstall());

    // A path longer than MAX_PATH is refused; null installs the calling program itself, unquoted.
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'p') + L".exe";
    EXPECT_FALSE(SvcInstall(tooLong.c_str()));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 238u);
    ASSERT_TRUE(SvcInstall(nullptr));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(ReadConfig().binaryPath, self);
}

TEST(ServiceRun, EveryReachableWaitStateAndStopOfARunningService) {
    ServiceCleanup cleanup;
    ASSERT_TRUE(SvcInstall(FixtureExe().c_str()));
    EXPECT_EQ(ReadConfig().binaryPath, FixtureExe());  // no blank, no quotes

    ASSERT_TRUE(StartWith({L"startdelay=4000", L"pausedelay=4000", L"stopdelay=4000"}));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_START_PENDING));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_RUNNING));

    // Still running: the start refuses after its 5-second wait, with 20000 + the state.
    const wchar_t* arguments[] = {kName};
    EXPECT_EQ(StartUpdateService(1, arguments), 20004u);
    EXPECT_EQ(RunUpdateCommand(0), 20004u);

    ASSERT_TRUE(Control(SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_PAUSE_PENDING));
    ASSERT_TRUE(WaitForState(SERVICE_PAUSED));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_PAUSED));
    ASSERT_TRUE(Control(SERVICE_CONTROL_CONTINUE));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_CONTINUE_PENDING));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));

    ASSERT_TRUE(Control(SERVICE_CONTROL_STOP));
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(WaitForServiceStopped(kName, 30), 1u);
    EXPECT_EQ(WaitForProcessExit(svc::kServiceImageName, 30), 0u);

    // A running service: SvcStop waits through its slow stop; then once more on the stopped service.
    ASSERT_TRUE(StartWith({L"stopdelay=3000"}));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(SvcStop());
    EXPECT_EQ(CurrentState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(WaitForProcessExit(svc::kServiceImageName, 1), 0u);
    EXPECT_TRUE(SvcStop());
}

TEST(ServiceRun, UpdateCommandThroughTheCompletionEvent) {
    ServiceCleanup cleanup;
    TempFolder folder(L"tavo-service");
    const std::wstring record = folder / L"command.txt";
    ASSERT_TRUE(SvcInstall(FixtureExe().c_str()));

    const std::wstring recordArgument = L"record=" + record;
    EXPECT_EQ(RunUpdateCommand(3, recordArgument.c_str(), L"two words", L"third"),
              static_cast<DWORD>(WAIT_OBJECT_0));
    const std::vector<std::string> lines = SplitLines(tavo::test::ReadFileBytes(record));
    ASSERT_GE(lines.size(), 5u);
    // The service program received the service name first and the command's arguments in order last.
    EXPECT_EQ(lines[1], "VelnorPluginsService");
    EXPECT_EQ(lines[lines.size() - 3], Narrow(recordArgument));
    EXPECT_EQ(lines[lines.size() - 2], "two words");
    EXPECT_EQ(lines[lines.size() - 1], "third");
    std::printf("service arguments as received: %s\n", lines[0].c_str());

    // The service goes on running after its command.
    EXPECT_EQ(WaitForServiceStopped(kName, 1), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(SvcStop());
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 1u);
}

TEST(ServiceUninstall, RunningServiceAndServiceAlreadyMarkedForDeletion) {
    ServiceCleanup cleanup;
    ASSERT_TRUE(SvcInstall(FixtureExe().c_str()));
    ASSERT_TRUE(StartWith({L"stopdelay=2000"}));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(SvcUninstall());
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 238u);
    EXPECT_EQ(WaitForProcessExit(svc::kServiceImageName, 30), 0u);

    // Deleted through another handle that stays open: the service is only marked for deletion.
    ASSERT_TRUE(SvcInstall(FixtureExe().c_str()));
    {
        ScopedServiceHandle manager = OpenManager();
        ScopedServiceHandle held(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(held.valid());
        ASSERT_TRUE(DeleteService(held.get()));
        EXPECT_FALSE(DeleteService(held.get()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
        EXPECT_TRUE(SvcUninstall());
    }
    EXPECT_EQ(WaitForServiceStopped(kName, 1), 238u);
}
