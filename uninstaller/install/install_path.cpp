#include "install/install.h"

#include <optional>

#include "support/scoped.h"

DWORD RegistryViewFlag = 0;

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// GetTavoInstallPathFromReg, also giving the value's type; `subkey` and `name` name the value.
BOOL ReadPathValue(HKEY root, LPWSTR buffer, DWORD bufferBytes, DWORD& type, LPCWSTR subkey = kProductKey,
                   LPCWSTR name = L"Path") {
    if (!buffer) {
        OutputDebugStringW(L"GetTavoInstallPathFromReg: Input Para is NULL!\n");
        return FALSE;
    }
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return FALSE;
    // Later steps delete this folder recursively: a value of any other type than a string (a number, bytes
    // that happen to look like a path, a list of strings) counts as unknown.
    type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        !IsStringType(type) || size > bufferBytes) {
        return FALSE;
    }
    size = bufferBytes;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
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
        // The product key first; once the registry cleanup has deleted it, the record of an uninstall
        // that has not finished.
        if (!ReadPathValue(HKEY_LOCAL_MACHINE, stored, kInstallPathBytes, type) &&
            !ReadPathValue(HKEY_LOCAL_MACHINE, stored, kInstallPathBytes, type, kUnfinishedUninstallKey,
                           kUnfinishedUninstallValue))
            return folder;
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

void RecordUnfinishedUninstall(const InstallFolder& folder) {
    if (folder.path.empty() || folder.verdict != FolderVerdict::kDeletable) return;
    // Beside the product key, under the maker's key, which must be there already: nothing above the
    // record is made.
    tavo::ScopedRegKey maker;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMakerKey, 0, KEY_CREATE_SUB_KEY, maker.put()) != ERROR_SUCCESS)
        return;
    tavo::ScopedRegKey record;
    if (RegCreateKeyExW(maker.get(), kUnfinishedUninstallName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, record.put(), nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(record.get(), kUnfinishedUninstallValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(folder.path.c_str()),
                   static_cast<DWORD>((folder.path.size() + 1) * sizeof(wchar_t)));
}

void ClearUnfinishedUninstall() {
    tavo::ScopedRegKey maker;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMakerKey, 0, KEY_ENUMERATE_SUB_KEYS | DELETE, maker.put()) !=
        ERROR_SUCCESS)
        return;
    RegDeleteKeyW(maker.get(), kUnfinishedUninstallName);
}
