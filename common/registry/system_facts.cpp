#include "registry/registry.h"

namespace {
int g_windowsBits = 0;  // 0 until first asked, then 32 or 64
}

BOOL VlrGetSystemWow64Directory(LPWSTR buffer, UINT size) {
    if (!buffer) return FALSE;
    HMODULE kernel = GetModuleHandleW(L"Kernel32.dll");
    if (!kernel) return FALSE;
    using Function = UINT(WINAPI*)(LPWSTR, UINT);
    auto function =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemWow64DirectoryW")));
    if (!function) return FALSE;
    return function(buffer, size) != 0;
}

BOOL Is64BitWindows() {
    if (g_windowsBits == 0) {
        g_windowsBits = 32;
        wchar_t folder[MAX_PATH] = {};
        if (VlrGetSystemWow64Directory(folder, MAX_PATH)) g_windowsBits = 64;
    }
    return g_windowsBits == 64;
}
