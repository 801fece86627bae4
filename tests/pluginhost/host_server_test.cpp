// Server runs of the host: start-up with and without the manager library, the hidden window's messages
// driven from another process, the notification to the updater, activation by COM, and the crash handler
// after a second fault in the message loop.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "debug_capture.h"
#include "host_harness.h"

using namespace tavo::test;

namespace {

constexpr CLSID kClsidMeeting = {
    0x7e3d1b92, 0x4c05, 0x4a6e, {0x8f, 0x17, 0xb9, 0xd2, 0xc0, 0xa5, 0x4e, 0x38}};

LRESULT Send(HWND window, UINT message, LPARAM lParam = 0) {
    DWORD_PTR result = 0xBAD;
    if (!SendMessageTimeoutW(window, message, 0, lParam, SMTO_ABORTIFHUNG, 30000, &result)) return 0xBAD;
    return static_cast<LRESULT>(result);
}

// A window of the updater's class on a thread of the test, counting the notifications it receives.
class UpdaterWindow {
  public:
    UpdaterWindow() {
        m_thread = std::thread([this] { Run(); });
        WaitFor([this] { return m_window.load() != nullptr; }, 10000);
    }
    ~UpdaterWindow() {
        if (HWND window = m_window.load()) PostMessageW(window, WM_CLOSE, 0, 0);
        m_thread.join();
    }
    int released() const { return s_released.load(); }

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == 1437 && wParam == 0 && lParam == 0) ++s_released;
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY) PostQuitMessage(0);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    void Run() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &Proc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kUpdaterClass;
        RegisterClassW(&windowClass);
        m_window = CreateWindowW(kUpdaterClass, L"updater", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        UnregisterClassW(kUpdaterClass, GetModuleHandleW(nullptr));
    }

    static inline std::atomic<int> s_released{0};
    std::atomic<HWND> m_window{nullptr};
    std::thread m_thread;
};

}  // namespace

TEST(HostServer, WithoutAManagerTheRunEndsWithMinusOne) {
    ManagerFiles files;
    {
        HostInstall install;  // no manager library at all
        ASSERT_TRUE(install.Add(L"fixtures\\companion\\full\\tavousredt.dll", L"tavousredt.dll"));
        EXPECT_EQ(0xFFFFFFFFu, RunHostToEnd(install.exe(), L""));
    }
    // The companion library was loaded and freed again on the way out.
    EXPECT_EQ("attach\ndetach unload\n", files.CompanionLog());
    {
        HostInstall install;  // a manager library without CreateTavoMgr
        ASSERT_TRUE(install.Add(L"fixtures\\manager\\no-create\\tavoMgr.dll", L"tavoMgr.dll"));
        ASSERT_TRUE(install.Add(L"fixtures\\companion\\no-export\\tavousredt.dll", L"tavousredt.dll"));
        EXPECT_EQ(0xFFFFFFFFu, RunHostToEnd(install.exe(), L"-Embedding"));
    }
}

TEST(HostServer, WindowMessagesLoadAndReleaseTheManager) {
    ManagerFiles files;
    HostInstall install;
    ASSERT_TRUE(install.Add(L"fixtures\\manager\\full\\tavoMgr.dll", L"tavoMgr.dll"));
    ASSERT_TRUE(install.Add(L"fixtures\\companion\\full\\tavousredt.dll", L"tavousredt.dll"));
    UpdaterWindow updater;
    HostProcess host;
    ASSERT_TRUE(host.Start(install.exe(), L"-Embedding"));
    HWND window = WaitForHelpWindow(host.pid(), 30000);
    ASSERT_NE(nullptr, window);

    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(L"Help Transfer message Wnd", title);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(static_cast<LONG_PTR>(WS_CAPTION), GetWindowLongPtrW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS);
    EXPECT_EQ(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, GetClassLongW(window, GCL_STYLE));
    // The window exists a moment before its load message has been handled.
    EXPECT_TRUE(
        WaitFor([&] { return Contains(files.ManagerLog(), "attach\nCreateTavoMgr 1 -> object#1\n"); }, 10000))
        << files.ManagerLog();
    EXPECT_TRUE(Contains(files.CompanionLog(), "attach\n"));

    // A second load while the manager lives is refused and loads nothing.
    EXPECT_EQ(-1, Send(window, 1436, 255));
    EXPECT_EQ(1u, Count(files.ManagerLog(), "CreateTavoMgr"));

    // A busy manager refuses to be released and stays in use.
    files.Control("busy 1\n");
    EXPECT_EQ(-1, Send(window, 1435));
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoMgr 18 IsBusy -> 1\n"));
    EXPECT_FALSE(Contains(files.ManagerLog(), "Destroy"));
    EXPECT_EQ(0, updater.released());

    // Released: object destroyed, library freed, the updater told.
    files.Control("busy 0\n");
    EXPECT_EQ(0, Send(window, 1435));
    EXPECT_TRUE(
        Contains(files.ManagerLog(), "ITavoMgr 18 IsBusy -> 0\nITavoMgr 19 Destroy\ndetach unload\n"));
    EXPECT_TRUE(WaitFor([&] { return updater.released() == 1; }, 5000));
    EXPECT_EQ(-1, Send(window, 1435));  // nothing left to release

    // Loaded again by another process: CreateTavoMgr learns it is not the host's own start-up.
    EXPECT_EQ(0, Send(window, 1436, 0));
    EXPECT_TRUE(Contains(files.ManagerLog(), "detach unload\nattach\nCreateTavoMgr 0 -> object#1\n"));

    // The end of the run: the manager object is destroyed without asking whether it is busy.
    files.Control("busy 1\n");
    EXPECT_EQ(0, Send(window, 1434));
    ASSERT_TRUE(host.WaitExit(30000));
    std::string log = files.ManagerLog();
    EXPECT_EQ(0u, host.exitCode()) << log << files.CompanionLog();
    EXPECT_TRUE(Contains(log, "CreateTavoMgr 0 -> object#1\nITavoMgr 19 Destroy\n")) << log;
    EXPECT_EQ(1, updater.released());
    EXPECT_TRUE(Contains(files.CompanionLog(), "detach unload\n"));
}

TEST(HostServer, ANullManagerLeavesTheHostRunningUntilALaterLoadSucceeds) {
    ManagerFiles files;
    files.Control("create null\n");
    HostInstall install;
    ASSERT_TRUE(install.Add(L"fixtures\\manager\\full\\tavoMgr.dll", L"tavoMgr.dll"));
    HostProcess host;
    ASSERT_TRUE(host.Start(install.exe()));
    HWND window = WaitForHelpWindow(host.pid(), 30000);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(-1, Send(window, 1435));  // no object to release (handled after the start-up's load)
    EXPECT_TRUE(Contains(files.ManagerLog(), "CreateTavoMgr 1 -> null\n"));

    files.Control("");
    EXPECT_EQ(0, Send(window, 1436, 255));
    std::string log = files.ManagerLog();
    EXPECT_TRUE(Contains(log, "CreateTavoMgr 1 -> null\nCreateTavoMgr 1 -> object#1\n")) << log;
    EXPECT_EQ(1u, Count(log, "attach\n"));  // the library was loaded once and kept once

    EXPECT_EQ(0, Send(window, 1434));
    ASSERT_TRUE(host.WaitExit(30000));
    EXPECT_EQ(0u, host.exitCode());
}

TEST(HostServer, StartedByCOMItServesItsClassObjectsUntilToldToEnd) {
    ManagerFiles files;
    HostInstall install;
    ASSERT_TRUE(install.Add(L"fixtures\\manager\\full\\tavoMgr.dll", L"tavoMgr.dll"));
    ASSERT_EQ(0u, RunHostToEnd(install.exe(), L"/RegServer"));
    ASSERT_HRESULT_SUCCEEDED(CoInitialize(nullptr));
    {
        IClassFactory* factory = nullptr;
        ASSERT_HRESULT_SUCCEEDED(CoGetClassObject(kClsidMeeting, CLSCTX_LOCAL_SERVER, nullptr,
                                                  IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        HostProcess host;
        ASSERT_TRUE(host.Adopt(install.exe(), 10000));
        HWND window = WaitForHelpWindow(host.pid(), 30000);
        ASSERT_NE(nullptr, window);

        // A client's LockServer is answered by the platform's proxy and never reaches the server (on
        // Windows the proxy keeps its own connection; Wine's proxy answers E_NOTIMPL). Either way the
        // host's lock count is untouched: it counts objects, and no object exists, so the host stays.
        const HRESULT lock = factory->LockServer(TRUE);
        std::printf("remote LockServer(TRUE): 0x%08lX\n", static_cast<unsigned long>(lock));
        EXPECT_TRUE(lock == S_OK || lock == E_NOTIMPL);
        if (SUCCEEDED(lock)) factory->LockServer(FALSE);
        factory->Release();
        EXPECT_FALSE(host.WaitExit(8000));

        // Told to end: the class objects are revoked and the manager is destroyed.
        EXPECT_EQ(0, Send(window, 1434));
        ASSERT_TRUE(host.WaitExit(30000));
        EXPECT_EQ(0u, host.exitCode());
        EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoMgr 19 Destroy\n"));
    }
    CoUninitialize();
    EXPECT_EQ(0u, RunHostToEnd(install.exe(), L"/UnregServer"));
}

// The dumps "vlrappcrash_tavopluginhost.exe_<time>.dmp" in the temporary folder.
std::vector<std::wstring> HostDumps() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const std::wstring pattern = TempFolderPath() + L"vlrappcrash_tavopluginhost.exe_*.dmp";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

TEST(HostServer, AFaultInTheLoopIsReportedOnceThenTheCrashHandlerWritesADumpAndEndsTheHost) {
    ManagerFiles files;
    HostInstall install;
    ASSERT_TRUE(install.Add(L"fixtures\\manager\\full\\tavoMgr.dll", L"tavoMgr.dll"));
    const std::vector<std::wstring> before = HostDumps();
    tavo::capture::Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    HostProcess host;
    ASSERT_TRUE(host.Start(install.exe(), L"-Embedding"));
    HWND window = WaitForHelpWindow(host.pid(), 30000);
    ASSERT_NE(nullptr, window);

    // The manager faults whenever it is asked whether it is busy.
    files.Control("crash IsBusy\n");
    ASSERT_TRUE(PostMessageW(window, 1435, 0, 0));
    ASSERT_TRUE(WaitFor([&] { return Count(files.ManagerLog(), "IsBusy -> crash") == 1; }, 10000));
    monitor.Settle();
    // The first fault is caught by the run's guard: reported, and the message loop goes on unguarded.
    EXPECT_FALSE(host.WaitExit(2000));
    size_t reports = 0;
    for (const auto& line : monitor.Take())
        if (line.pid == host.pid() && line.text == "TAVOSRV_EXCEPTION") ++reports;
    EXPECT_EQ(1u, reports);

    // The second fault reaches the crash handler: a dump, exit code 13.
    ASSERT_TRUE(PostMessageW(window, 1435, 0, 0));
    ASSERT_TRUE(host.WaitExit(60000));
    EXPECT_EQ(13u, host.exitCode());
    std::vector<std::wstring> added;
    for (const auto& name : HostDumps())
        if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
    ASSERT_EQ(1u, added.size());
    // "vlrappcrash_tavopluginhost.exe_" + 14 digits of the UTC time + ".dmp"
    EXPECT_EQ(31u + 14u + 4u, added[0].size());
    const std::string dump = ReadFileBytes(TempFolderPath() + added[0]);
    EXPECT_EQ("MDMP", dump.substr(0, 4));
    for (const auto& name : added) DeleteFileW((TempFolderPath() + name).c_str());
}
