#include "install/install.h"

#include <optional>

#include "support/scoped.h"

DWORD RegistryViewFlag = 0;

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// GetTavoInstallPathFromReg, also giving the value's type.
BOOL ReadPathValue(HKEY root, LPWSTR buffer, DWORD bufferBytes, DWORD& type) {
    if (!buffer) {
        OutputDebugStringW(L"GetTavoInstallPathFromReg: Input Para is NULL!\n");
        return FALSE;
    }
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, kProductKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return FALSE;
    // Later steps delete this folder recursively: a value of any other type than a string (a number, bytes
    // that happen to look like a path, a list of strings) counts as unknown.
    type = REG_NONE;
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

std::optional<InstallFolder>& RunFolder() {
    static std::optional<InstallFolder> folder;
    return folder;
}

}  // namespace

BOOL GetTavoInstallPathFromReg(HKEY root, LPWSTR buffer, DWORD bufferBytes) {
    DWORD type = REG_NONE;
    return ReadPathValue(root, buffer, bufferBytes, type);
}

InstallFolder ReadInstallFolder() {
    InstallFolder folder;
    try {
        wchar_t stored[kInstallPathChars] = {};
        DWORD type = REG_NONE;
        if (!ReadPathValue(HKEY_LOCAL_MACHINE, stored, kInstallPathBytes, type)) return folder;
        if (type == REG_EXPAND_SZ) {
            wchar_t expanded[MAX_PATH] = {};
            const DWORD length = ExpandEnvironmentStringsW(stored, expanded, MAX_PATH);
            if (length == 0 || length > MAX_PATH) return folder;
            folder.path = expanded;
        } else {
            folder.path = stored;
        }
        while (folder.path.size() > 3 && (folder.path.back() == L'\\' || folder.path.back() == L'/'))
            folder.path.pop_back();
        folder.verdict = JudgeFolderForDeletion(folder.path.c_str());
    } catch (...) {
        folder = InstallFolder();
    }
    return folder;
}

const InstallFolder& RunInstallFolder() {
    std::optional<InstallFolder>& folder = RunFolder();
    if (!folder) folder = ReadInstallFolder();
    return *folder;
}

void SetRunInstallFolder(const InstallFolder& folder) { RunFolder() = folder; }
