// The installed suite as the registry tells it: the product key, the install folder stored in it, and
// the registry view the cleanup works in.
#pragma once

#include <windows.h>

#include <string>

#include "paths/path_api.h"

// Process-wide access-mask addition for the registry cleanup: KEY_WOW64_64KEY on a 64-bit processor.
extern DWORD RegistryViewFlag;

// Reads value "Path" of SOFTWARE\Velnor\Plugins under `root` (the process's own view) into `buffer` of
// `bufferBytes` bytes. TRUE when the value is a string (REG_SZ or REG_EXPAND_SZ, taken as stored) and the
// buffer holds the whole, terminated path; a value of any other type counts as unknown (FALSE).
BOOL GetTavoInstallPathFromReg(HKEY root, LPWSTR buffer, DWORD bufferBytes);

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";
// The record of an uninstall that has not finished: the install folder it works on, kept from the start of
// the uninstall sequence until the install folder is removed (the registry cleanup deletes the product
// key before that), so that an uninstall that was interrupted finds its install folder again when it is
// run again. A key of its own beside the product key, in the same (the process's own) view.
constexpr wchar_t kMakerKey[] = L"SOFTWARE\\Velnor";
constexpr wchar_t kUnfinishedUninstallName[] = L"TavoRemover";
constexpr wchar_t kUnfinishedUninstallKey[] = L"SOFTWARE\\Velnor\\TavoRemover";
constexpr wchar_t kUnfinishedUninstallValue[] = L"InstallFolder";
// The buffer that "Path" is read into, in wide characters; its size in bytes (520, so a path holds at most
// 259 characters and its terminator) is what every reader passes to GetTavoInstallPathFromReg.
constexpr DWORD kInstallPathChars = 520;
constexpr DWORD kInstallPathBytes = 520;

// The install folder of one run, read once and judged once, then handed to every step.
struct InstallFolder {
    // "Path" of the product key under HKEY_LOCAL_MACHINE: a REG_SZ value as stored (no environment
    // references expanded: they are plain characters of a name), a REG_EXPAND_SZ value expanded; without
    // trailing backslashes. Empty when unknown: no value, not a string, 260 characters or more (also after
    // the expansion).
    std::wstring path;
    // The deletion guard's verdict on `path` when it was read.
    FolderVerdict verdict = FolderVerdict::kNotAbsoluteLocal;
    // The steps may act on the folder: an absolute local path that the guard accepts, or where nothing is
    // (any more). The deletion steps judge it again, through their handle, when they delete.
    bool Trusted() const {
        return verdict == FolderVerdict::kDeletable || verdict == FolderVerdict::kMissing;
    }
    // `path` when Trusted, else "" (which every step takes as "no install folder").
    const wchar_t* TrustedPath() const { return Trusted() ? path.c_str() : L""; }
};

// Reads and judges "Path" (kInstallPathBytes); where the product key has none, the record of an unfinished
// uninstall (read by the same rules).
InstallFolder ReadInstallFolder();

// Writes the record of an unfinished uninstall for `folder` (only a folder the guard accepts, only where
// the maker's key exists); ClearUnfinishedUninstall deletes it. Both are silent: without the record an
// interrupted uninstall is finished as before by hand.
void RecordUnfinishedUninstall(const InstallFolder& folder);
void ClearUnfinishedUninstall();

// The install folder of this run, for the steps whose interfaces do not take it (where a shortcut leads,
// the folder regsvr32 gets on "Path"): what SetRunInstallFolder gave (the sequence, once at its start); read
// by ReadInstallFolder at the first use when nothing gave it.
const InstallFolder& RunInstallFolder();
void SetRunInstallFolder(const InstallFolder& folder);
