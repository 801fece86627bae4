// The server module's lock count and shutdown monitor, in process: the monitor posts WM_QUIT to the
// thread that initialised the module once the lock count has been 0 for the idle time, not while that
// thread shows a window nor when a client came while it waited for one, and after its decision the
// module takes no new lock.
#include <windows.h>

#include <gtest/gtest.h>

#include "module/exe_module.h"

namespace {

constexpr GUID kLibId = {0x1a2b3c4d, 0x0001, 0x0002, {0, 1, 2, 3, 4, 5, 6, 7}};

// Pumps the calling thread's messages for up to `timeoutMs`; true when WM_QUIT arrived.
bool QuitArrivesWithin(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return true;
            DispatchMessageW(&message);
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

TEST(ExeModule, TheLockCountGivesTheNewCount) {
    CExeModule module;
    EXPECT_EQ(1, module.Lock());
    EXPECT_EQ(2, module.Lock());
    EXPECT_EQ(1, module.Unlock());
    EXPECT_EQ(0, module.Unlock());
    EXPECT_EQ(0, module.GetLockCount());
    module.Term();
}

TEST(ExeModule, TheMonitorEndsTheLoopAfterFiveIdleSecondsButNotWhileLockedOrWhileAWindowShows) {
    // The module outlives the monitor thread, which may still be asleep when the test ends.
    static CExeModule module;
    module.Init(GetModuleHandleW(nullptr), kLibId);
    EXPECT_EQ(GetCurrentThreadId(), module.GetMainThreadId());
    ASSERT_TRUE(module.StartMonitor());

    // Nothing was ever locked: the server waits for its first client.
    EXPECT_FALSE(QuitArrivesWithin(6500));

    // Locked, with an unlock/lock pair in between: still no quit.
    module.Lock();
    module.Lock();
    module.Unlock();
    EXPECT_FALSE(QuitArrivesWithin(6500));

    // Idle while the thread shows a window: the monitor waits for the window to go.
    HWND window = CreateWindowExW(0, L"STATIC", L"visible", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(0, module.Unlock());
    EXPECT_FALSE(QuitArrivesWithin(8000));

    // Hidden: the quit follows within about a second.
    ShowWindow(window, SW_HIDE);
    EXPECT_TRUE(QuitArrivesWithin(5000));
    DestroyWindow(window);
}

TEST(ExeModule, AClientThatComesWhileAWindowHoldsTheQuitKeepsTheServerAndNothingIsHandedOutAfterTheQuit) {
    static CExeModule module;
    module.Init(GetModuleHandleW(nullptr), kLibId);
    ASSERT_TRUE(module.StartMonitor());
    HWND window = CreateWindowExW(0, L"STATIC", L"visible", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    module.Lock();
    module.Unlock();
    // Idle for longer than the idle time: the monitor now waits for the window to go.
    EXPECT_FALSE(QuitArrivesWithin(6500));
    // A client creates an object meanwhile, and the window goes: the server stays for that client.
    ASSERT_TRUE(module.TryLock());
    ShowWindow(window, SW_HIDE);
    EXPECT_FALSE(QuitArrivesWithin(3000));
    EXPECT_FALSE(module.IsStopping());

    // The client lets go: the quit follows the idle time, and from then on nothing is handed out.
    module.Unlock();
    EXPECT_TRUE(QuitArrivesWithin(10000));
    EXPECT_TRUE(module.IsStopping());
    EXPECT_FALSE(module.TryLock());
    EXPECT_EQ(0, module.GetLockCount());
    DestroyWindow(window);
}

TEST(ExeModule, ActivityRestartsTheIdleTime) {
    static CExeModule module;
    module.Init(GetModuleHandleW(nullptr), kLibId);
    ASSERT_TRUE(module.StartMonitor());

    module.Lock();
    module.Unlock();
    // A client comes and goes 3 s later: the idle time starts again from that unlock.
    EXPECT_FALSE(QuitArrivesWithin(3000));
    module.Lock();
    module.Unlock();
    EXPECT_FALSE(QuitArrivesWithin(3500));
    EXPECT_TRUE(QuitArrivesWithin(10000));
    module.Term();
}

}  // namespace
