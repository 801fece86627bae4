#include "steps/steps.h"
#include "support/proc_address.h"

void RegTavoCOM(LPCWSTR, BOOL) {}

BOOL IsNative64BitSystem() {
    using Function = void(WINAPI*)(LPSYSTEM_INFO);
    auto getNativeSystemInfo =
        tavo::ProcAddress<Function>(GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo");
    if (!getNativeSystemInfo) return FALSE;
    SYSTEM_INFO info = {};
    getNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}
