// Registry keys and values with an explicit view flag: 0 (the process's own view), KEY_WOW64_64KEY or
// KEY_WOW64_32KEY, OR-ed into every access mask.
//
// Per-user redirection: the value readers and writers (GetRegValueType, GetRegValueSize, ReadRegDword,
// ReadRegBinary, ReadRegSz, ReadRegString, WriteRegString, WriteRegDword) replace the root
// HKEY_CURRENT_USER by GetLogonUserProfileKey() on Windows Vista or later. The key operations
// (CreateRegKey, DeleteRegKey, DeleteRegValue, EnumRegSubKeys, EnumRegValueNames, IsRegKeyExist) use the
// root unchanged.
//
// A null root, key name or value name gives the failure result without touching the registry. Every key
// opened is closed before return (except the one CreateRegKey hands out). Nothing here throws.
#pragma once

#include <windows.h>

#include <vector>

#include "strings/string_ex.h"

// Keys and values.

// Creates or opens the key with KEY_ALL_ACCESS plus `view`; the caller closes the key. Null on failure.
HKEY CreateRegKey(HKEY root, LPCWSTR subkey, DWORD view);

// Deletes `subkey` under `root` with all its subkeys and values, in the given view. Stops at the first
// subkey that cannot be deleted. A registry link met on the way is removed itself, never followed.
BOOL DeleteRegKey(HKEY root, LPCWSTR subkey, DWORD view);

// When `subkey` under `parent` (in `view`) is a registry link, removes the link itself, never its target,
// sets *result (when given) to the Win32 result of the removal and returns TRUE. FALSE, touching nothing,
// when it is not a link or does not open.
BOOL RemoveRegLinkIfLink(HKEY parent, LPCWSTR subkey, DWORD view, LONG* result);

// Opens `path` (one or more names joined by backslashes) under `root` one name at a time, each relative to
// the key before it, with `access` plus `view` for the last and read access for the others; none of them
// may be a registry link (each is opened as the link itself, never through it). ERROR_SUCCESS with the key
// in *key (the caller closes it); the open's error; or ERROR_CANT_ACCESS_FILE for a link on the way, which
// is left as it is. Names the system would read as no key (an empty name, "." or "..") are refused with
// ERROR_INVALID_PARAMETER.
LONG OpenRegKeyNoLink(HKEY root, LPCWSTR path, REGSAM access, DWORD view, HKEY* key);

BOOL DeleteRegValue(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view);

// True when the key opens with KEY_QUERY_VALUE plus `view`.
BOOL IsRegKeyExist(HKEY root, LPCWSTR subkey, DWORD view);

// Appends the name of every subkey to `names`, in enumeration order. `use64BitView` is a yes/no switch
// (nonzero adds KEY_WOW64_64KEY), not a view flag. A name that fails to enumerate is skipped. True when
// the last registry call made (the last enumeration, or the key query when there are no subkeys)
// succeeded.
BOOL EnumRegSubKeys(HKEY root, LPCWSTR subkey, std::vector<CStringEx>& names, BOOL use64BitView);

// The same for value names, opened with KEY_READ plus `view`.
BOOL EnumRegValueNames(HKEY root, LPCWSTR subkey, std::vector<CStringEx>& names, DWORD view);

// The value's registry type, or 0 (REG_NONE) when it cannot be read.
DWORD GetRegValueType(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view);

// The size of the value's data in bytes, or -1 when it cannot be read.
LONG GetRegValueSize(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD view);

// True only when the value's type is REG_DWORD and its data fits in 4 bytes; `*value` is written only
// then.
BOOL ReadRegDword(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD* value, DWORD view);

// Clears `bufferBytes` bytes of `buffer` and reads the data into it; true only for REG_BINARY.
BOOL ReadRegBinary(HKEY root, LPCWSTR subkey, LPCWSTR valueName, BYTE* buffer, DWORD bufferBytes, DWORD view);

// Clears `count` characters of `buffer` and reads at most that many characters (count * 2 bytes); true
// only for REG_SZ (so REG_EXPAND_SZ and REG_MULTI_SZ read as failure, with their data in the buffer).
// The buffer always ends up terminated: data that fills it without a terminator loses its last character
// and reads as failure.
BOOL ReadRegSz(HKEY root, LPCWSTR subkey, LPCWSTR valueName, LPWSTR buffer, DWORD count, DWORD view);

// Empties `out` and reads a REG_SZ value into it through out.GetBuffer / out.ReleaseBuffer. A REG_EXPAND_SZ
// (or REG_MULTI_SZ) value returns false although `out` then holds its text (the data is read before its
// type is compared). A value of zero bytes returns false and leaves `out` empty and locked (GetBuffer of
// an empty string hands out no block); the next Empty, or the next ReadRegString, unlocks it.
BOOL ReadRegString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, CStringEx& out, DWORD view);

// Writes `text` with its terminator as a value of `type` (callers pass REG_SZ), creating the key when it
// cannot be opened for writing.
BOOL WriteRegString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, LPCWSTR text, DWORD view, DWORD type);
// The same with the text as a CStringEx.
BOOL WriteRegString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, const CStringEx& text, DWORD view,
                    DWORD type);

// As WriteRegString, writing 4 bytes of type REG_DWORD.
BOOL WriteRegDword(HKEY root, LPCWSTR subkey, LPCWSTR valueName, DWORD value, DWORD view);

// The key that stands for HKEY_CURRENT_USER in the value readers and writers is GetLogonUserProfileKey()
// (session/session.h): the console user's profile hive for a non-interactive process, else
// HKEY_CURRENT_USER.

// Product settings: values under SOFTWARE\Velnor\Plugins of HKEY_CURRENT_USER (redirected), view 0.
// The string getters read with ReadRegString; the setters write REG_SZ with WriteRegString (a null text
// gives false).
BOOL GetMTAUploadInfo(CStringEx& out);
BOOL GetMTAUploadURL(CStringEx& out);
BOOL GetTelemetryInfo(CStringEx& out);
BOOL GetUserEmail(CStringEx& out);
BOOL GetUserID(DWORD* value);
BOOL GetVirtualEnv(DWORD* value);
BOOL SetMTAUploadInfo(LPCWSTR text);
BOOL SetMTAUploadURL(LPCWSTR text);
BOOL SetTelemetryInfo(LPCWSTR text);
BOOL SetUserEmail(LPCWSTR text);
BOOL SetUserID(DWORD value);
BOOL SetVirtualEnv(DWORD value);

// True when "msitype" (REG_DWORD) is 1 or 2 under HKEY_LOCAL_MACHINE in the 32-bit view or under
// HKEY_CURRENT_USER (redirected), view 0; an absent value counts as 0.
BOOL IsMsiInstall();
