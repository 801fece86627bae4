#include "test_support.h"

#include <sddl.h>

#include <cstdio>

namespace tavo::test {

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(static_cast<char>(c));
    return narrow;
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; text && *text; ++text) narrow.push_back(static_cast<char>(*text));
    return narrow;
}

std::string Ansi(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return "";
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, ansi.data(), bytes, nullptr, nullptr);
    ansi.pop_back();  // the terminating zero
    return ansi;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

::testing::AssertionResult SameLines(const std::vector<std::string>& actual,
                                     const std::vector<std::string>& expected) {
    size_t first = 0;
    while (first < actual.size() && first < expected.size() && actual[first] == expected[first]) ++first;
    if (first == actual.size() && first == expected.size()) return ::testing::AssertionSuccess();
    auto shown = [first](const std::vector<std::string>& lines) {
        return first < lines.size() ? ::testing::PrintToString(lines[first])
                                    : std::string("(none: the lines end before it)");
    };
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "first difference at line " << first + 1;
    for (size_t i = first > 2 ? first - 2 : 0; i < first; ++i)
        failure << "\n  line " << i + 1 << ":   " << ::testing::PrintToString(actual[i]);
    failure << "\n  expected: " << shown(expected) << "\n  actual:   " << shown(actual);
    failure << "\n  lines: " << actual.size() << " actual, " << expected.size() << " expected";
    if (actual.size() > expected.size())
        failure << " (" << actual.size() - expected.size() << " more than expected)";
    if (actual.size() < expected.size())
        failure << " (" << expected.size() - actual.size() << " fewer than expected)";
    return failure;
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

void VisitTree(const std::wstring& folder,
               const std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& entry)>& visit) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!wcscmp(entry.cFileName, L".") || !wcscmp(entry.cFileName, L"..")) continue;
        const std::wstring path = folder + L"\\" + entry.cFileName;
        visit(path, entry);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            VisitTree(path, visit);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

namespace {
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";
}  // namespace

std::vector<std::wstring> PendingRestartOperations() {
    std::vector<std::wstring> entries;
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingRenames, RRF_RT_REG_MULTI_SZ, nullptr,
                     nullptr, &bytes) != ERROR_SUCCESS) {
        return entries;
    }
    std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 2, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingRenames, RRF_RT_REG_MULTI_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS) {
        return entries;
    }
    for (const wchar_t* p = value.data(); p < value.data() + bytes / sizeof(wchar_t); p += wcslen(p) + 1) {
        entries.push_back(p);
    }
    while (!entries.empty() && entries.back().empty()) entries.pop_back();  // the list's terminator
    return entries;
}

void ClearPendingRestartOperations() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, kPendingRenames);
    RegCloseKey(key);
}

std::wstring SidOfToken(HANDLE token) {
    BYTE buffer[512] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return L"";
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return L"";
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

std::wstring OwnSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
    std::wstring sid = SidOfToken(token);
    CloseHandle(token);
    return sid;
}

bool KeyExists(HKEY root, const std::wstring& subkey, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

static_assert(sizeof(void*) == 4, "the test programs are 32-bit");

bool SixtyFourBitWindows() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring BinPath(const std::wstring& relative) { return BinFolder() + L"\\" + relative; }

std::wstring TempFolderPath() {
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, path);
    return path;
}

TempFolder::TempFolder(const std::wstring& prefix) {
    static unsigned counter = 0;
    wchar_t name[64];
    swprintf(name, 64, L"-%lu-%lu-%u", GetCurrentProcessId(), GetTickCount(), ++counter);
    m_path = TempFolderPath() + prefix + name;
    CreateDirectoryW(m_path.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveTree(m_path); }

bool RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(child);
            } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryW(child.c_str());
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

DWORD RunToEnd(const std::wstring& commandLine, DWORD timeoutMs) {
    std::wstring command = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return GetLastError();
    CloseHandle(process.hThread);
    DWORD code = WAIT_TIMEOUT;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return code;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteTextFile(const std::wstring& path, const std::string& content) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) return false;
    bool ok = fwrite(content.data(), 1, content.size(), file) == content.size();
    return fclose(file) == 0 && ok;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string content;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return content;
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, read);
    fclose(file);
    return content;
}

ScopedEnv::ScopedEnv(const wchar_t* name, const wchar_t* value) : m_name(name) {
    wchar_t old[4096];
    DWORD length = GetEnvironmentVariableW(name, old, 4096);
    m_hadOld = length > 0 && length < 4096;
    if (m_hadOld) m_old = old;
    SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(m_name.c_str(), m_hadOld ? m_old.c_str() : nullptr); }

std::vector<TraceRecord> ReadTraceRecords(const std::wstring& logPath) {
    std::vector<TraceRecord> records;
    const std::string content = ReadFileBytes(logPath);
    size_t position = 0;
    auto field = [&](char end) {
        size_t stop = content.find(end, position);
        if (stop == std::string::npos) stop = content.size();
        std::string value = content.substr(position, stop - position);
        position = stop + 1;
        return value;
    };
    while (position < content.size()) {
        TraceRecord record;
        record.exportName = field('\t');
        record.level = atoi(field('\t').c_str());
        record.tag = field('\t');
        record.reserved = atoi(field('\t').c_str());
        size_t length = strtoul(field('\t').c_str(), nullptr, 10);
        record.text = content.substr(position, length);
        position += length + 1;  // the text and the record's closing line feed
        records.push_back(record);
    }
    return records;
}

std::string Unix(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        result.push_back(text[i]);
    }
    return result;
}

bool RunningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool MakeLink(const std::wstring& link, const std::wstring& target, bool folder) {
    auto exists = [&link] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; };
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) &&
        exists())
        return true;
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return false;
    const size_t slash = link.rfind(L'\\');
    char* unixTarget = unixName(target.c_str());
    char* unixParent = unixName(link.substr(0, slash).c_str());
    if (!unixTarget || !unixParent) return false;
    const std::string command = std::string("ln -s \"") + unixTarget + "\" \"" + unixParent + "/" +
                                Narrow(link.substr(slash + 1)) + "\"";
    HeapFree(GetProcessHeap(), 0, unixTarget);
    HeapFree(GetProcessHeap(), 0, unixParent);
    std::wstring commandLine(command.begin(), command.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"\\\\?\\unix\\bin\\ln", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);
    // Wine does not wait for a Unix program: look for the link.
    for (int i = 0; i < 100 && !exists(); ++i) Sleep(50);
    return exists();
}

}  // namespace tavo::test
