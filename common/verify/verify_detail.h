// Inside the verify folder: the version resource of a file, read through version.dll from the system folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavo::verify::detail {

// The whole version information block of `filePath` (GetFileVersionInfoSizeW / GetFileVersionInfoW), with
// `spareBytes` zero bytes after it. Empty when the file has none or version.dll cannot be used.
std::vector<BYTE> ReadVersionBlock(const wchar_t* filePath, DWORD spareBytes = 0);
// VerQueryValueW on a block from ReadVersionBlock; false when the value is missing.
bool QueryVersionValue(const std::vector<BYTE>& block, const wchar_t* subBlock, void** value, UINT* length);
// The four parts of the file version in the block's fixed part (at least 52 bytes long).
bool FixedFileVersion(const std::vector<BYTE>& block, DWORD parts[4]);

// `a` and `b` are equal once the letters A to Z are mapped to a to z in both (other characters as they are).
bool SameIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

}  // namespace tavo::verify::detail
