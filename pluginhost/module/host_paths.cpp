#include "module/host_paths.h"

#include <windows.h>

std::wstring HostFolderFile(const wchar_t* fileName) {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};  // a cut path would name another file
    std::wstring result(path, length);
    size_t slash = result.find_last_of(L'\\');
    if (slash == std::wstring::npos) return {};
    result.resize(slash + 1);
    result += fileName;
    if (result.size() >= MAX_PATH) return {};
    return result;
}
