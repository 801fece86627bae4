#include "footprint.h"

#include <windows.h>

#include <cwctype>

#include "test_support.h"

namespace footprint {

namespace {

// FNV-1a over the value's bytes: a changed value shows as a changed hash.
std::wstring Hash(const BYTE* data, DWORD size) {
    DWORD hash = 2166136261u;
    for (DWORD i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    wchar_t text[32] = {};
    swprintf(text, 32, L"%lu bytes #%08lX", static_cast<unsigned long>(size),
             static_cast<unsigned long>(hash));
    return text;
}

void ListKey(HKEY parent, const std::wstring& subkey, const std::wstring& name, REGSAM view, Footprint& out) {
    HKEY key = nullptr;
    // Opened as a link where it is one: its "SymbolicLinkValue" is listed, its target is not walked.
    if (RegOpenKeyExW(parent, subkey.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, &key) != ERROR_SUCCESS) {
        out[name] = L"key (unreadable)";
        return;
    }
    out[name] = L"key";
    std::vector<wchar_t> valueName(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(valueName.size()), size = static_cast<DWORD>(data.size()),
              type = 0;
        LONG status =
            RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            data.resize(size + 2);
            nameLength = static_cast<DWORD>(valueName.size());
            status = RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, &type, data.data(), &size);
        }
        if (status != ERROR_SUCCESS) break;
        out[name + L"\\:" + std::wstring(valueName.data(), nameLength)] =
            L"type " + std::to_wstring(type) + L", " + Hash(data.data(), size);
    }
    std::vector<std::wstring> children;
    wchar_t child[256] = {};
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.emplace_back(child, length);
    }
    for (const std::wstring& c : children) ListKey(key, c, name + L"\\" + c, view, out);
    RegCloseKey(key);
}

void ListFolder(const std::wstring& folder, Footprint& out) {
    tavo::test::VisitTree(folder, [&out](const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        const bool isFolder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        const unsigned long long size =
            isFolder ? 0 : (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        wchar_t text[64] = {};
        swprintf(text, 64, L"%ls %llu bytes, attributes 0x%lX", isFolder ? L"folder" : L"file", size,
                 static_cast<unsigned long>(entry.dwFileAttributes));
        out[path] = text;
    });
}

}  // namespace

Footprint Take() {
    Footprint out;
    const bool win64 = tavo::test::SixtyFourBitWindows();
    const std::pair<REGSAM, const wchar_t*> views[] = {{KEY_WOW64_64KEY, L"64"}, {KEY_WOW64_32KEY, L"32"}};
    for (const auto& [view, suffix] : views) {
        if (!win64 && view == KEY_WOW64_32KEY) continue;  // one view only
        const std::wstring tag = win64 ? suffix : L"";
        ListKey(HKEY_LOCAL_MACHINE, L"", L"HKLM" + tag, view, out);
        ListKey(HKEY_USERS, L"", L"HKU" + tag, view, out);
    }
    ListFolder(L"C:", out);
    return out;
}

std::string Change::Describe() const {
    std::string text = std::string(1, kind) + " " + tavo::test::Ansi(entry);
    if (kind == '+') return text + "  (" + tavo::test::Ansi(after) + ")";
    if (kind == '~') return text + "  (" + tavo::test::Ansi(before) + " -> " + tavo::test::Ansi(after) + ")";
    return text;
}

std::vector<Change> Difference(const Footprint& before, const Footprint& after) {
    std::vector<Change> changes;
    for (const auto& [entry, what] : before) {
        const auto found = after.find(entry);
        if (found == after.end())
            changes.push_back({'-', entry, what, L""});
        else if (found->second != what)
            changes.push_back({'~', entry, what, found->second});
    }
    for (const auto& [entry, what] : after) {
        if (!before.count(entry)) changes.push_back({'+', entry, L"", what});
    }
    return changes;
}

bool Matches(const std::wstring& pattern, const std::wstring& entry) {
    size_t p = 0, e = 0, star = std::wstring::npos, resume = 0;
    while (e < entry.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = e;
        } else if (p < pattern.size() && towlower(pattern[p]) == towlower(entry[e])) {
            ++p;
            ++e;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            e = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

}  // namespace footprint
