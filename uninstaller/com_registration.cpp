#include "com_registration.h"

void RegTavoCOM(LPCWSTR, BOOL) {}

BOOL IsNative64BitSystem() {
    using Function = void(WINAPI*)(LPSYSTEM_INFO);
    auto getNativeSystemInfo = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo")));
    if (!getNativeSystemInfo) return FALSE;
    SYSTEM_INFO info = {};
    getNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}
