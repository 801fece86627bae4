// The release marker in the string table and the whole check of the updater program.
#include <cwchar>

#include "support/scoped.h"
#include "verify/verify.h"

namespace {

// Reads an unsigned decimal number after leading blanks, up to the first character that is not a digit.
// False when there is no digit; a number too large for 32 bits reads as the largest one.
bool ReadDecimal(const wchar_t* text, unsigned long* value) {
    while (*text == L' ' || *text == L'\t') ++text;
    if (*text < L'0' || *text > L'9') return false;
    unsigned long number = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const unsigned long digit = static_cast<unsigned long>(*text - L'0');
        number = number > (0xFFFFFFFFul - digit) / 10 ? 0xFFFFFFFFul : number * 10 + digit;
    }
    *value = number;
    return true;
}

}  // namespace

BOOL HasReleaseMarker(const wchar_t* filePath) {
    if (!filePath) return FALSE;
    tavo::ScopedLibrary module(
        LoadLibraryExW(filePath, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) return FALSE;
    wchar_t text[MAX_PATH] = {};
    if (LoadStringW(module.get(), tavo::verify::kReleaseMarkerId, text, MAX_PATH) <= 0) return FALSE;
    // A marker that does not start with a digit counts as absent.
    unsigned long marker = 0;
    if (!ReadDecimal(text, &marker)) return FALSE;
    return marker >= tavo::verify::kLowestReleaseMarker ? TRUE : FALSE;
}

int CheckUpdaterFile(const wchar_t* filePath) {
    if (!IsInProgramFilesX86(filePath)) return tavo::verify::kUpdaterNotInProgramFiles;
    // Held open while the checks run: others may read the file but not write, rename or delete it, so each
    // check below meets the same file.
    tavo::ScopedHandle held(CreateFileW(filePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!HasOriginalFilename(filePath, tavo::verify::kUpdaterOriginalFilename)) {
        return tavo::verify::kUpdaterWrongOriginalFilename;
    }
    if (!IsSignedByMaker(filePath)) return tavo::verify::kUpdaterNotSignedByMaker;
    if (!HasReleaseMarker(filePath)) return tavo::verify::kUpdaterNoReleaseMarker;
    return tavo::verify::kUpdaterOk;
}
