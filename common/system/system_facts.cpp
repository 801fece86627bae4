#include <atomic>

#include "support/proc_address.h"
#include "system/system_facts.h"

namespace {
// Process-wide caches written on first use; concurrent first calls compute the same values.
std::atomic<int> g_windowsBits{0};    // 0 until first asked, then 32 or 64
std::atomic<int> g_osVersionType{0};  // 0 until known
}  // namespace

BOOL VlrGetSystemWow64Directory(LPWSTR buffer, UINT size) {
    if (!buffer) return FALSE;
    HMODULE kernel = GetModuleHandleW(L"Kernel32.dll");
    if (!kernel) return FALSE;
    using Function = UINT(WINAPI*)(LPWSTR, UINT);
    auto function = tavo::ProcAddress<Function>(kernel, "GetSystemWow64DirectoryW");
    if (!function) return FALSE;
    return function(buffer, size) != 0;
}

BOOL Is64BitWindows() {
    int bits = g_windowsBits.load(std::memory_order_relaxed);
    if (bits == 0) {
        // Decided before it is stored, so that a concurrent caller never sees a provisional 32.
        bits = 32;
        wchar_t folder[MAX_PATH] = {};
        if (VlrGetSystemWow64Directory(folder, MAX_PATH)) bits = 64;
        g_windowsBits.store(bits, std::memory_order_relaxed);
    }
    return bits == 64;
}

int MapOSVersionType(DWORD platformId, DWORD majorVersion, DWORD minorVersion) {
    if (platformId == VER_PLATFORM_WIN32_WINDOWS && majorVersion == 4) {
        switch (minorVersion) {
            case 0:
                return kOSWindows95;
            case 10:
                return kOSWindows98;
            case 90:
                return kOSWindowsMe;
            default:
                return kOSUnknown;
        }
    }
    if (platformId == VER_PLATFORM_WIN32_NT) {
        if (majorVersion <= 4) return kOSWindowsNT4;
        if (majorVersion >= 6) return kOSWindowsVistaOrLater;
        if (minorVersion == 0) return kOSWindows2000;
        if (minorVersion == 1) return kOSWindowsXP;
    }
    return kOSUnknown;
}

int GetOSVersionType() {
    int cached = g_osVersionType.load(std::memory_order_relaxed);
    if (cached != 0) return cached;
    OSVERSIONINFOEXW extended = {};
    extended.dwOSVersionInfoSize = sizeof(extended);  // 284 bytes
    OSVERSIONINFOW* info = reinterpret_cast<OSVERSIONINFOW*>(&extended);
    if (!GetVersionExW(info)) {
        extended = {};
        info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);  // 276 bytes
        if (!GetVersionExW(info)) return kOSUnknown;
    }
    const int code = MapOSVersionType(info->dwPlatformId, info->dwMajorVersion, info->dwMinorVersion);
    if (code != kOSUnknown) g_osVersionType.store(code, std::memory_order_relaxed);
    return code;
}
