#include "removal_support.h"

#include <algorithm>
#include <iterator>

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

bool RunningUnderWine() { return tavo::test::RunningUnderWine(); }

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    return tavo::test::MakeLink(link, target, true);
}

}  // namespace removal
