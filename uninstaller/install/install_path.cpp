#include "install/install.h"

#include "support/scoped.h"

DWORD RegistryViewFlag = 0;

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

BOOL GetTavoInstallPathFromReg(HKEY root, LPWSTR buffer, DWORD bufferBytes) {
    if (!buffer) {
        OutputDebugStringW(L"GetTavoInstallPathFromReg: Input Para is NULL!\n");
        return FALSE;
    }
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, kProductKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return FALSE;
    // Later steps delete this folder recursively: a value of any other type than a string (a number, bytes
    // that happen to look like a path, a list of strings) counts as unknown.
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), L"Path", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        !IsStringType(type) || size > bufferBytes) {
        return FALSE;
    }
    size = bufferBytes;
    if (RegQueryValueExW(key.get(), L"Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        !IsStringType(type)) {
        SecureZeroMemory(buffer, bufferBytes);
        return FALSE;
    }
    // A value stored without its terminator that fills the whole buffer leaves no end to the path:
    // every later step would read past the buffer. Such a path counts as unknown.
    const DWORD chars = bufferBytes / sizeof(wchar_t);
    const DWORD readChars = size / sizeof(wchar_t);
    if (readChars >= chars && buffer[chars - 1] != L'\0') {
        SecureZeroMemory(buffer, bufferBytes);
        return FALSE;
    }
    if (readChars < chars) buffer[readChars] = L'\0';
    return TRUE;
}
