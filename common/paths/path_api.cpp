#include "paths/path_api.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>

#include "registry/registry.h"
#include "support/scoped.h"
#include "system/system_facts.h"

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";
constexpr wchar_t kHostServer64[] =
    L"Wow6432Node\\CLSID\\{5D0C1E7A-2B44-4F19-A6E3-7C9B0D2F4A61}\\LocalServer32";
constexpr wchar_t kHostServer[] = L"CLSID\\{5D0C1E7A-2B44-4F19-A6E3-7C9B0D2F4A61}\\LocalServer32";

bool WindowsFolder(CStringEx& out) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    out = folder;
    return true;
}

}  // namespace

BOOL CPathApi::GetResFilePath(HMODULE module, const wchar_t* fileName, CStringEx& out) {
    if (!fileName) {
        OutputDebugStringW(L"\nCPathApi::GetResFilePath: Invalid Input!\n");
        return FALSE;
    }
    wchar_t modulePath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    PathRemoveFileSpecW(modulePath);
    CStringEx path(modulePath);
    path.PathAppend(fileName);
    out = path;
    return TRUE;
}

BOOL CPathApi::GetTavoRootPath(CStringEx& out) {
    CStringEx root;
    if (!ReadRegString(HKEY_LOCAL_MACHINE, kProductKey, L"Path", root, KEY_WOW64_32KEY)) {
        // The per-user value; ReadRegString sends HKEY_CURRENT_USER to the console user's hive.
        ReadRegString(HKEY_CURRENT_USER, kProductKey, L"Path", root, 0);
    }
    if (root.GetLength() == 0) {
        OutputDebugStringW(L"CPathApi::GetTavoRootPath, This case shouldn't be excuted!");
        // The default (unnamed) value: an empty value name, as ReadRegString refuses a null one.
        ReadRegString(HKEY_CLASSES_ROOT, Is64BitWindows() ? kHostServer64 : kHostServer, L"", root, 0);
        root.TrimLeft(L'"');
        root.TrimRight(L'"');
        if (root.GetLength() > 0) {
            wchar_t* text = root.GetBuffer(root.GetLength() + 1);
            if (text) {
                PathRemoveFileSpecW(text);
                root.ReleaseBuffer();
            }
        }
    }
    out = root;
    return TRUE;
}

BOOL CPathApi::CreateDirectoryPath(CStringEx& path) {
    if (path.GetLength() == 0) return FALSE;
    if (path.GetAt(path.GetLength() - 1) != L'\\') path.Append(L'\\');
    if (IsDirectoryExist(path.GetString())) return TRUE;

    // Drive part ("X:") and folder part; each component is created in turn from the drive on.
    const wchar_t* text = path.GetString();
    const int driveLength = (path.GetLength() >= 2 && text[1] == L':') ? 2 : 0;
    const int length = path.GetLength();
    int components = 0;
    for (int i = driveLength; i < length; ++i) {
        if (text[i] != L'\\' || i == driveLength || text[i - 1] == L'\\') continue;
        ++components;
        CStringEx prefix = path.Left(i);
        CreateDirectoryW(prefix.GetString(), nullptr);  // failures are ignored; the next step shows them
    }
    return components > 0;
}

int CPathApi::GetAppDataPluginsPath(const wchar_t* file, wchar_t* buffer) {
    if (!file || !buffer) return 0;
    buffer[0] = L'\0';
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) return 0;
    CStringEx folder(appData);
    folder.PathAppend(L"Velnor");
    CreateDirectoryW(folder.GetString(), nullptr);
    folder.PathAppend(L"Plugins");
    CreateDirectoryW(folder.GetString(), nullptr);
    OutputDebugStringW(folder.GetString());
    const int folderLength = folder.GetLength();
    CStringEx full(folder);
    full.PathAppend(file);
    if (full.GetLength() >= MAX_PATH) return 0;
    wmemcpy(buffer, full.GetString(), static_cast<size_t>(full.GetLength()) + 1);
    return folderLength;
}

BOOL CPathApi::GetDownloadedProgramFilesPath(CStringEx& out) {
    CStringEx folder;
    if (!WindowsFolder(folder)) return FALSE;
    folder.PathAppend(L"Downloaded Program Files");
    out = folder;
    return TRUE;
}

BOOL CPathApi::GetProgramDataPath(CStringEx& out) {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(&version)) return FALSE;
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion <= 5) return FALSE;
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    PathRemoveFileSpecW(folder);
    CStringEx path(folder);
    path.PathAppend(L"ProgramData");
    out = path;
    return TRUE;
}

BOOL CPathApi::GetSystemPath(CStringEx& out) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    out = folder;
    return TRUE;
}

BOOL CPathApi::GetAppDataPath(CStringEx& out) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        folder[0] = L'\0';
    out = folder;
    return TRUE;
}

BOOL CPathApi::GetWindowsTempPath(CStringEx& out) {
    CStringEx folder;
    if (!WindowsFolder(folder)) return FALSE;
    folder.PathAppend(L"Temp");
    out = folder;
    return TRUE;
}

BOOL CPathApi::IsDirectoryExist(const wchar_t* path) {
    if (!path) return FALSE;
    const size_t length = wcslen(path);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    wchar_t copy[MAX_PATH] = {};
    wmemcpy(copy, path, length);
    if (copy[length - 1] == L'\\') copy[length - 1] = L'\0';
    WIN32_FIND_DATAW data{};
    tavo::ScopedFindHandle find(FindFirstFileW(copy, &data));
    if (!find) return FALSE;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

BOOL CPathApi::IsMsiTypePresent() {
    DWORD value = 0;
    return ReadRegDword(HKEY_LOCAL_MACHINE, kProductKey, L"msitype", &value, KEY_WOW64_32KEY);
}

BOOL CPathApi::CanWriteFolder(const wchar_t* folder) {
    if (!folder || !*folder) return FALSE;
    CStringEx path(folder);
    if (path.GetAt(path.GetLength() - 1) != L'\\') path.Append(L'\\');
    path.Append(L"_TestTempFileXYZ.tmp");
    tavo::ScopedHandle file(CreateFileW(path.GetString(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr));
    return file.valid();
}
