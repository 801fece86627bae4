#include <cstdio>
#include <cstring>

#include "trace/trace.h"
#include "support/proc_address.h"

HMODULE g_hVlrTracer = nullptr;
PFN_VLRTRACERAW g_pfnVLRTRACEA = nullptr;
PFN_VLRTRACERAW g_pfnVlrTraceResident = nullptr;
int g_bTraceLazyInit = 0;

namespace {

constexpr wchar_t kTraceLibraryName[] = L"vlrtrace.dll";

unsigned int AsHex(const void* pointer) {
    return static_cast<unsigned int>(reinterpret_cast<UINT_PTR>(pointer));
}
unsigned int AsHex(PFN_VLRTRACERAW function) { return AsHex(reinterpret_cast<const void*>(function)); }

// Loads vlrtrace.dll from the folder of the running program's executable, by full path only.
void LoadTraceLibraryBesideExecutable() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;  // no path, or a cut one: load nothing
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return;
    size_t folderLength = static_cast<size_t>(slash - path) + 1;
    if (folderLength + wcslen(kTraceLibraryName) >= MAX_PATH) return;
    wcscpy(slash + 1, kTraceLibraryName);
    g_hVlrTracer = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (g_hVlrTracer) {
        g_pfnVLRTRACEA = tavo::ProcAddress<PFN_VLRTRACERAW>(g_hVlrTracer, "VLRTRACERAWA");
        g_pfnVlrTraceResident = tavo::ProcAddress<PFN_VLRTRACERAW>(g_hVlrTracer, "VLRTRACERAWA_RESIDENT");
    }
}

}  // namespace

void InitVLRTRACER() {
    char szInstancePath[MAX_PATH] = {};
    if (!g_hVlrTracer) {
        GetModuleFileNameA(nullptr, szInstancePath, MAX_PATH);
        szInstancePath[MAX_PATH - 1] = '\0';
        LoadTraceLibraryBesideExecutable();
    }
    char line[1024];
    snprintf(line, sizeof(line),
             "QXRvt51827 InitVLRTRACER: g_pfnVLRTRACEA=0x%08X, g_pfnVlrTraceResident=0x%08X, "
             "g_hVlrTracer=0x%08X, szInstancePath=%s\r\n",
             AsHex(g_pfnVLRTRACEA), AsHex(g_pfnVlrTraceResident), AsHex(g_hVlrTracer), szInstancePath);
    OutputDebugStringA(line);
}

void UninitVLRTRACER() {
    char line[1024];
    snprintf(line, sizeof(line),
             "QXRvt51827 UninitVLRTRACER: g_pfnVLRTRACEA=0x%08X, g_pfnVlrTraceResident=0x%08X, "
             "g_hVlrTracer=0x%08X\r\n",
             AsHex(g_pfnVLRTRACEA), AsHex(g_pfnVlrTraceResident), AsHex(g_hVlrTracer));
    OutputDebugStringA(line);
    g_pfnVLRTRACEA = nullptr;
    g_pfnVlrTraceResident = nullptr;
    if (g_hVlrTracer) {
        FreeLibrary(g_hVlrTracer);
        g_hVlrTracer = nullptr;
    }
}

bool IsTavoDebugMode() {
    wchar_t value[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"TavoDebugMode", value, MAX_PATH);
    // A value too long for the buffer leaves it untouched (zeroed): treated as absent.
    return length != 0 && length < MAX_PATH && value[0] == L'1';
}

VELNORLOGInitialize::VELNORLOGInitialize() {
    InitVLRTRACER();
    OutputDebugStringW(L"VELNORLOGInitialize\n");
}

VELNORLOGInitialize::~VELNORLOGInitialize() {
    UninitVLRTRACER();
    OutputDebugStringW(L"~VELNORLOGInitialize\n");
}
