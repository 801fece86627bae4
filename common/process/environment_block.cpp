// User environment blocks (userenv.dll, loaded from the system folder for each call) and the loading of
// system DLLs by full path.
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "process/process.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace {

using tavo::ProcAddress;
using PfnCreateEnvironmentBlock = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
using PfnDestroyEnvironmentBlock = BOOL(WINAPI*)(LPVOID);

}  // namespace

BOOL CTavoCallProcess::VlrTavoCreateEnvironmentBlock(HANDLE hToken, DWORD* pdwCreationFlags,
                                                     LPVOID* ppEnvironment) {
    if (!hToken) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: input hToken is NULL!\n");
        return FALSE;
    }
    if (!pdwCreationFlags || !ppEnvironment) return FALSE;
    *pdwCreationFlags = NORMAL_PRIORITY_CLASS;
    tavo::ScopedLibrary userenv(LoadSystemLibrary(L"userenv.dll"));
    if (!userenv) {
        OutputDebugStringW(
            L"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: LoadSystemLibrary userenv.dll FAILED!\n");
        return FALSE;
    }
    const auto create = ProcAddress<PfnCreateEnvironmentBlock>(userenv.get(), "CreateEnvironmentBlock");
    if (create && create(ppEnvironment, hToken, FALSE)) {
        OutputDebugStringW(
            L"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: CreateEnvironmentBlock SUCCESS.\n");
        *pdwCreationFlags |= CREATE_UNICODE_ENVIRONMENT;
    }
    return TRUE;
}

BOOL CTavoCallProcess::VlrTavoDestroyEnvironmentBlock(LPVOID pEnvironment) {
    if (!pEnvironment) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: input hToken is NULL!\n");
        return FALSE;
    }
    tavo::ScopedLibrary userenv(LoadSystemLibrary(L"userenv.dll"));
    if (!userenv) {
        OutputDebugStringW(
            L"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: LoadSystemLibrary userenv.dll FAILED!\n");
        return FALSE;
    }
    const auto destroy = ProcAddress<PfnDestroyEnvironmentBlock>(userenv.get(), "DestroyEnvironmentBlock");
    if (destroy && destroy(pEnvironment))
        OutputDebugStringW(
            L"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: DestroyEnvironmentBlock SUCCESS.\n");
    return TRUE;
}

void tavo::EnvironmentBlockTraits::Close(LPVOID p) { CTavoCallProcess::VlrTavoDestroyEnvironmentBlock(p); }

HMODULE CTavoCallProcess::LoadSystemLibrary(LPCWSTR lpszDllName) {
    if (!lpszDllName || !*lpszDllName) return nullptr;
    // A file name only: a path in the name would lead out of the system folder.
    if (wcspbrk(lpszDllName, L"\\/:")) return nullptr;
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    // Never a bare name: a name that does not fit is not handed to the DLL search order.
    if (wcslen(path) + 1 + wcslen(lpszDllName) >= MAX_PATH) return nullptr;
    if (!PathAppendW(path, lpszDllName)) return nullptr;
    return LoadLibraryW(path);
}
