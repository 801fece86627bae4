// The host's hidden window. Other processes of the suite find it by class name and drive it with private
// messages: end the host's run (1434), release the manager library (1435), load it (1436). The host sends
// it the load message itself once at start-up. It owns the manager library handle; the binding state it
// manages is g_tavoBinding.
#pragma once

#include <windows.h>

#include "support/scoped.h"
#include "window/manager_binding.h"

inline constexpr wchar_t kHelpTransferWndClass[] =
    L"TAVO_HELP_TRANSFERWND_D7294E1B-6A08-4C53-9F2E-1B8A5C0D3E47";
inline constexpr wchar_t kHelpTransferWndTitle[] = L"Help Transfer message Wnd";
// The suite's updater, told through kMsgManagerReleased that the manager library was released.
inline constexpr wchar_t kUpdaterWndClass[] = L"TAVO_UPDATE_0F8B2A64-D93C-4E17-B5A0-7C3E1D9F6B28";

inline constexpr UINT kMsgEndRun = 1434;
inline constexpr UINT kMsgUnloadManager = 1435;
inline constexpr UINT kMsgLoadManager = 1436;
inline constexpr UINT kMsgManagerReleased = 1437;
// lParam of kMsgLoadManager with which CreateTavoMgr receives 1 (the host's own start-up).
inline constexpr LPARAM kLoadForHostStartup = 255;

class CHelpTransferWnd {
  public:
    CHelpTransferWnd() = default;
    // Destroys the window if it is still one and frees the manager library if it is still loaded.
    ~CHelpTransferWnd() = default;
    CHelpTransferWnd(const CHelpTransferWnd&) = delete;
    CHelpTransferWnd& operator=(const CHelpTransferWnd&) = delete;

    // Registers the window class (once per process) and creates the hidden window; null on failure.
    HWND Create(HINSTANCE instance);
    HWND GetHwnd() const { return m_window.get(); }

    // The message handlers; results as the window answers them.
    LRESULT LoadManager(LPARAM lParam);
    LRESULT UnloadManager();

    // End of the host's run: destroys the window if it still is one and the manager object (without
    // asking whether it is busy). The library stays loaded until the process ends.
    void EndRun();

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    tavo::ScopedWindow m_window;
    tavo::ScopedLibrary m_managerLibrary;
};

// The process's one window object, built before the entry point runs.
extern CHelpTransferWnd g_helpTransferWnd;
