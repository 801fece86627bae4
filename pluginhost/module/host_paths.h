// Files beside the host executable.
#pragma once

#include <string>

// The full path of `fileName` in the folder of the host executable, or an empty string when the
// executable's path cannot be had whole (it must fit MAX_PATH) or the result would not fit MAX_PATH.
std::wstring HostFolderFile(const wchar_t* fileName);
