#include <cstring>
#include <new>

#include "registry/registry.h"
#include "session/session.h"
#include "support/scoped.h"
#include "system/system_facts.h"

namespace {

constexpr DWORD kDeleteValueAccess = KEY_READ | KEY_WRITE;  // 0x2001F
constexpr DWORD kNameChars = 2048;

// The value readers and writers send HKEY_CURRENT_USER to the logged-on console user's hive on Vista or
// later.
HKEY UserRoot(HKEY root) {
    if (root == HKEY_CURRENT_USER && GetOSVersionType() == kOSWindowsVistaOrLater)
        return GetLogonUserProfileKey();
    return root;
}

// Queries a value under an already redirected root: its type and, with `data`, up to *bytes bytes of it.
LONG QueryValue(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view, DWORD* type, BYTE* data,
                DWORD* bytes) {
    tavo::ScopedRegKey key;
    LONG result = RegOpenKeyExW(root, subkey, 0, KEY_READ | view, key.put());
    if (result != ERROR_SUCCESS) return result;
    return RegQueryValueExW(key.get(), valueName, nullptr, type, data, bytes);
}

bool NullArgument(HKEY root, LPCWSTR subkey, LPCWSTR valueName) { return !root || !subkey || !valueName; }

// Appends the names RegEnumKeyExW or RegEnumValueW (`enumerate`) gives for indexes [0, count).
template <class Enumerate>
BOOL AppendNames(DWORD count, LONG queryResult, std::vector<CStringEx>& names, Enumerate enumerate) {
    LONG last = queryResult;
    for (DWORD index = 0; index < count; ++index) {
        wchar_t name[kNameChars] = {};
        DWORD length = kNameChars;
        last = enumerate(index, name, &length);
        if (last != ERROR_SUCCESS) continue;
        try {
            names.emplace_back(name);
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
    }
    return last == ERROR_SUCCESS;
}

// Sets a value under the redirected root, creating the key when it cannot be opened for writing.
BOOL WriteValue(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD type, const BYTE* data, DWORD bytes,
                DWORD view) {
    root = UserRoot(root);
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_WRITE | view, key.put()) != ERROR_SUCCESS) {
        key.reset(CreateRegKey(root, subkey, view));
        if (!key) return FALSE;
    }
    return RegSetValueExW(key.get(), valueName, 0, type, data, bytes) == ERROR_SUCCESS;
}

// Writes `length` characters of `text` and the terminator after them.
BOOL WriteText(HKEY root, LPCWSTR subkey, LPCWSTR valueName, LPCWSTR text, size_t length, DWORD view,
               DWORD type) {
    if (length >= MAXDWORD / sizeof(wchar_t)) return FALSE;
    const DWORD bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    return WriteValue(root, subkey, valueName, type, reinterpret_cast<const BYTE*>(text), bytes, view);
}

}  // namespace

HKEY CreateRegKey(HKEY root, LPCWSTR subkey, DWORD view) {
    if (!root || !subkey) return nullptr;
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

BOOL DeleteRegValue(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view) {
    if (NullArgument(root, subkey, valueName)) return FALSE;
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, kDeleteValueAccess | view, key.put()) != ERROR_SUCCESS) return FALSE;
    return RegDeleteValueW(key.get(), valueName) == ERROR_SUCCESS;
}

BOOL IsRegKeyExist(HKEY root, LPCWSTR subkey, DWORD view) {
    if (!root || !subkey) return FALSE;
    tavo::ScopedRegKey key;
    return RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | view, key.put()) == ERROR_SUCCESS;
}

BOOL EnumRegSubKeys(HKEY root, LPCWSTR subkey, std::vector<CStringEx>& names, BOOL use64BitView) {
    if (!root || !subkey) return FALSE;
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_READ | (use64BitView ? KEY_WOW64_64KEY : 0), key.put()) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD count = 0;
    LONG query = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr);
    if (query != ERROR_SUCCESS) count = 0;
    return AppendNames(count, query, names, [&key](DWORD index, LPWSTR name, DWORD* length) {
        return RegEnumKeyExW(key.get(), index, name, length, nullptr, nullptr, nullptr, nullptr);
    });
}

BOOL EnumRegValueNames(HKEY root, LPCWSTR subkey, std::vector<CStringEx>& names, DWORD view) {
    if (!root || !subkey) return FALSE;
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return FALSE;
    DWORD count = 0;
    LONG query = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                  nullptr, nullptr, nullptr, nullptr);
    if (query != ERROR_SUCCESS) count = 0;
    return AppendNames(count, query, names, [&key](DWORD index, LPWSTR name, DWORD* length) {
        return RegEnumValueW(key.get(), index, name, length, nullptr, nullptr, nullptr, nullptr);
    });
}

DWORD GetRegValueType(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view) {
    if (NullArgument(root, subkey, valueName)) return REG_NONE;
    DWORD type = REG_NONE;
    if (QueryValue(UserRoot(root), subkey, valueName, view, &type, nullptr, nullptr) != ERROR_SUCCESS) {
        return REG_NONE;
    }
    return type;
}

LONG GetRegValueSize(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view) {
    if (NullArgument(root, subkey, valueName)) return -1;
    DWORD bytes = 0;
    if (QueryValue(UserRoot(root), subkey, valueName, view, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return -1;
    return static_cast<LONG>(bytes);
}

BOOL ReadRegDword(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD* value, DWORD view) {
    if (NullArgument(root, subkey, valueName) || !value) return FALSE;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    if (QueryValue(UserRoot(root), subkey, valueName, view, &type, reinterpret_cast<BYTE*>(&data), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return FALSE;
    }
    *value = data;
    return TRUE;
}

BOOL ReadRegBinary(HKEY root, LPCWSTR subkey, LPCWSTR valueName, BYTE* buffer, DWORD bufferBytes,
                   DWORD view) {
    if (NullArgument(root, subkey, valueName) || !buffer) return FALSE;
    memset(buffer, 0, bufferBytes);
    DWORD type = REG_NONE;
    DWORD bytes = bufferBytes;
    return QueryValue(UserRoot(root), subkey, valueName, view, &type, buffer, &bytes) == ERROR_SUCCESS &&
           type == REG_BINARY;
}

BOOL ReadRegSz(HKEY root, LPCWSTR subkey, LPCWSTR valueName, LPWSTR buffer, DWORD count, DWORD view) {
    // A buffer of no characters cannot even hold a terminator.
    if (NullArgument(root, subkey, valueName) || !buffer || count == 0) return FALSE;
    if (count > MAXDWORD / sizeof(wchar_t)) return FALSE;
    memset(buffer, 0, count * sizeof(wchar_t));
    DWORD type = REG_NONE;
    DWORD bytes = count * sizeof(wchar_t);
    if (QueryValue(UserRoot(root), subkey, valueName, view, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    // The registry keeps whatever bytes were written: the data may lack its terminator. Short data is
    // terminated by the cleared rest of the buffer; data that fills the buffer is cut to fit one.
    bool terminated = true;
    if (bytes / sizeof(wchar_t) >= count && buffer[count - 1] != L'\0') {
        buffer[count - 1] = L'\0';
        terminated = false;
    }
    return terminated && type == REG_SZ;
}

BOOL ReadRegString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, CStringEx& out, DWORD view) {
    out.Empty();
    const LONG size = GetRegValueSize(root, subkey, valueName, view);
    if (size == -1) return FALSE;
    // `size` bytes are read into a buffer of at least `size` + 1 characters, so the text always has room
    // for a terminator after it. A value of zero bytes gets no block (the string is empty) and stays locked.
    wchar_t* buffer = out.GetBuffer(static_cast<int>(size) + 1);
    if (!buffer) return FALSE;
    memset(buffer, 0, static_cast<size_t>(size) * sizeof(wchar_t) + sizeof(wchar_t));
    const BOOL read = ReadRegSz(root, subkey, valueName, buffer, static_cast<DWORD>(size), view);
    out.ReleaseBuffer();
    return read;
}

BOOL WriteRegString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, LPCWSTR text, DWORD view, DWORD type) {
    if (NullArgument(root, subkey, valueName) || !text) return FALSE;
    return WriteText(root, subkey, valueName, text, wcslen(text), view, type);
}

BOOL WriteRegString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, const CStringEx& text, DWORD view,
                    DWORD type) {
    if (NullArgument(root, subkey, valueName)) return FALSE;
    return WriteText(root, subkey, valueName, text.GetString(), static_cast<size_t>(text.GetLength()), view,
                     type);
}

BOOL WriteRegDword(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD value, DWORD view) {
    if (NullArgument(root, subkey, valueName)) return FALSE;
    return WriteValue(root, subkey, valueName, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                      sizeof(value), view);
}
