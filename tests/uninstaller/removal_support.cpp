#include "removal_support.h"

#include <algorithm>
#include <iterator>

#include "support/proc_address.h"
#include "test_support.h"

namespace removal {

bool OnlyDriveC() {
    wchar_t drives[256] = {};
    const DWORD length = GetLogicalDriveStringsW(255, drives);
    return length == 4 && _wcsicmp(drives, L"C:\\") == 0;
}

std::set<std::wstring> ListMachine() {
    std::set<std::wstring> paths;
    tavo::test::VisitTree(
        L"C:", [&paths](const std::wstring& path, const WIN32_FIND_DATAW&) { paths.insert(path); });
    return paths;
}

std::set<std::wstring> ChangedOutside(const std::set<std::wstring>& before,
                                      const std::set<std::wstring>& after,
                                      std::initializer_list<std::wstring> folders) {
    std::set<std::wstring> changed;
    std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                  std::inserter(changed, changed.end()));
    std::erase_if(changed, [&folders](const std::wstring& path) {
        for (const std::wstring& folder : folders) {
            if (_wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
                (path.size() == folder.size() || path[folder.size()] == L'\\')) {
                return true;
            }
        }
        return false;
    });
    return changed;
}

ConsoleCapture::ConsoleCapture() {
    static int counter = 0;
    m_path = tavo::test::TempFolderPath() + L"console-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter) + L".txt";
    m_file = CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    m_saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, m_file);
}

ConsoleCapture::~ConsoleCapture() { Stop(); }

std::string ConsoleCapture::Stop() {
    if (m_file == INVALID_HANDLE_VALUE) return {};
    SetStdHandle(STD_OUTPUT_HANDLE, m_saved);
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    std::string text = tavo::test::Unix(tavo::test::ReadFileBytes(m_path));
    DeleteFileW(m_path.c_str());
    return text;
}

std::string Utf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                        nullptr);
    return utf8;
}

bool RunningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

namespace {

bool MakeLink(const std::wstring& link, const std::wstring& target, DWORD flags) {
    auto exists = [&link] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; };
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) && exists()) return true;
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName =
        tavo::ProcAddress<UnixName>(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!unixName) return false;
    const size_t slash = link.rfind(L'\\');
    char* unixTarget = unixName(target.c_str());
    char* unixParent = unixName(link.substr(0, slash).c_str());
    if (!unixTarget || !unixParent) return false;
    const std::string command = std::string("ln -s \"") + unixTarget + "\" \"" + unixParent + "/" +
                                tavo::test::Narrow(link.substr(slash + 1)) + "\"";
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

}  // namespace

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    return MakeLink(link, target, SYMBOLIC_LINK_FLAG_DIRECTORY);
}

bool MakeFileLink(const std::wstring& link, const std::wstring& target) { return MakeLink(link, target, 0); }

}  // namespace removal
