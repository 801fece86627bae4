// The 32-bit Program Files folder and whether a path lies inside it.
#include <shlobj.h>

#include <cwchar>

#include "verify/verify.h"
#include "verify/verify_detail.h"

std::wstring GetProgramFilesX86Folder() {
    wchar_t folder[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILESX86, FALSE) || !folder[0]) {
        return std::wstring();
    }
    std::wstring result(folder, wcsnlen(folder, MAX_PATH));
    result.push_back(L'\\');
    return result;
}

BOOL IsInProgramFilesX86(const wchar_t* filePath) {
    if (!filePath || !*filePath) return FALSE;
    const std::wstring folder = GetProgramFilesX86Folder();
    if (folder.size() < 2) return FALSE;
    const std::wstring path(filePath);
    if (path.size() >= MAX_PATH) return FALSE;
    // The path must already be in its full, plain form: the system would resolve ".", "..", forward slashes
    // and trailing dots or blanks of a name before it opens the file, and then the file could lie elsewhere
    // than the text says.
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH || path != std::wstring(full, length)) return FALSE;
    // The folder's text with its trailing backslash, at position 0, in any letter case.
    if (path.size() <= folder.size()) return FALSE;
    return tavo::verify::detail::SameIgnoringAsciiCase(path.substr(0, folder.size()), folder) ? TRUE : FALSE;
}
