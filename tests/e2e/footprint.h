// The footprint of a whole machine: every key and value of the registry (HKEY_LOCAL_MACHINE and
// HKEY_USERS, which hold every hive; both views on 64-bit Windows) and every file and folder of drive C:
// with its size and attributes. Links are recorded, never followed. Two footprints compare into the list
// of what was added, removed or changed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace footprint {

// Entry name ("HKLM64\SOFTWARE\Key", "HKLM64\SOFTWARE\Key\\:name", "C:\folder\file") to what it holds (the
// value's type and a hash of its data, the file's size and attributes).
using Footprint = std::map<std::wstring, std::wstring>;

Footprint Take();

struct Change {
    char kind;  // '+' added, '-' removed, '~' changed
    std::wstring entry;
    std::wstring before, after;
    std::string Describe() const;
};
std::vector<Change> Difference(const Footprint& before, const Footprint& after);

// An expected remain: the entries that `pattern` matches ('*' any run of characters, letter case ignored)
// stay, for `reason`.
struct Remain {
    const wchar_t* pattern;
    const char* reason;
};
bool Matches(const std::wstring& pattern, const std::wstring& entry);

}  // namespace footprint
