// Version numbers of executable files, the program's own version in the event log, and the check that a
// file is the suite's genuine updater: it lies in the 32-bit Program Files folder, names "tavoupdate.exe"
// as its OriginalFilename, carries a valid Authenticode signature of the maker and a release marker of 3
// or more. System libraries (version, wintrust, crypt32, imagehlp) are loaded from the system folder for
// each call and freed again; nothing is kept between calls and no operation throws.
#pragma once

#include <windows.h>

#include <string>

namespace tavo::verify {

inline constexpr const wchar_t* kUpdaterOriginalFilename = L"tavoupdate.exe";
inline constexpr const wchar_t* kMakerName = L"Orvane Velnor LLC";
inline constexpr UINT kReleaseMarkerId = 10000;
inline constexpr unsigned long kLowestReleaseMarker = 3;

// Results of CheckUpdaterFile.
enum : int {
    kUpdaterOk = 0,
    kUpdaterNotInProgramFiles = 1,
    kUpdaterWrongOriginalFilename = 2,
    kUpdaterNotSignedByMaker = 3,
    kUpdaterNoReleaseMarker = 4,
};

}  // namespace tavo::verify

// The file version of `filePath` from the fixed part of its version resource.
BOOL GetFileVersionNumbers(const wchar_t* filePath, int* major, int* minor, int* build, int* revision);
// The file version as "a.b.c.d"; FALSE (and `version` untouched) when it cannot be read.
BOOL GetFileVersionString(const wchar_t* filePath, std::wstring& version);
// The file version as "a.b.c.d", empty when it cannot be read.
std::wstring GetFileVersionString(const wchar_t* filePath);
// 1 when `first` is the higher version, -1 when it is lower, 0 when both are equal. Parts are compared as
// numbers, major first; a part that is missing counts as 0 (1.2 equals 1.2.0.0).
int CompareVersion(const wchar_t* first, const wchar_t* second);
// The OriginalFilename of the US English Unicode block (040904b0) only; empty when there is none.
std::wstring GetOriginalFilename(const wchar_t* filePath);
BOOL HasOriginalFilename(const wchar_t* filePath, const wchar_t* expectedName);

// The 32-bit Program Files folder with a trailing backslash; empty when the system does not name one.
std::wstring GetProgramFilesX86Folder();
// TRUE when `filePath` is a full path inside the 32-bit Program Files folder (any letter case). A path that
// leaves the folder again through "..", names the folder with a suffix ("Program Files (x86)Evil") or is
// written in another syntax ("\\?\", forward slashes) is refused.
BOOL IsInProgramFilesX86(const wchar_t* filePath);

// TRUE when the Authenticode signature embedded in the file is valid and chains to a trusted root (no
// revocation check, no user interface).
BOOL VerifyTrust(const std::wstring& strFilePath);
// The simple display name of the certificate that signed the file's one embedded signature.
BOOL GetSignSubject(const wchar_t* filePath, std::wstring& subject);
// The signer's name when the signature is valid; empty otherwise. Both checks judge the same bytes: the
// file is opened once (others may only read it meanwhile) and trust and signer are read from that handle.
std::wstring GetFileSigner(const wchar_t* filePath);
BOOL IsSignedByMaker(const wchar_t* filePath);
// TRUE when string 10000 of the file's string table is a decimal number of 3 or more.
BOOL HasReleaseMarker(const wchar_t* filePath);
// The checks in order (place, OriginalFilename, signer, release marker); the first failure decides.
int CheckUpdaterFile(const wchar_t* filePath);

// Writes the running program's file version to the event log ("log_version::a.b.c.d"), or
// "log_version::get version info failed".
void log_version();
