// What a program on a test machine sees of the machine's file system: the drives Windows lists, the
// program's own path, its current folder, the temporary folder and the profile folders (asked for with
// CSIDL_FLAG_CREATE, so that a missing one is made again as Wine makes it). Exit code 0 when the only
// drive is C: and every one of those paths lies on it; 1 otherwise. The check beside it
// (sealed_check.sh) runs it from inside a sealed machine.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool OnDriveC(const std::wstring& path) { return path.size() >= 3 && path.compare(0, 3, L"C:\\") == 0; }

bool Report(const wchar_t* what, const std::wstring& path) {
    const bool ok = OnDriveC(path);
    std::wprintf(L"%ls %ls%ls\n", what, path.c_str(), ok ? L"" : L"  <- not on drive C:");
    return ok;
}

}  // namespace

int wmain() {
    bool sealed = true;

    wchar_t drives[512] = {};
    const DWORD length = GetLogicalDriveStringsW(511, drives);
    if (length == 0 || length > 511) {
        std::wprintf(L"GetLogicalDriveStringsW failed (%lu)\n", GetLastError());
        return 1;
    }
    int count = 0;
    for (const wchar_t* drive = drives; *drive; drive += wcslen(drive) + 1) {
        const bool isC = std::wstring(drive) == L"C:\\";
        std::wprintf(L"drive %ls type %u%ls\n", drive, GetDriveTypeW(drive),
                     isC ? L"" : L"  <- not drive C:");
        sealed = sealed && isC;
        ++count;
    }
    if (count != 1) sealed = false;

    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    sealed = Report(L"program", path) && sealed;
    GetCurrentDirectoryW(MAX_PATH, path);
    sealed = Report(L"current", path) && sealed;
    GetTempPathW(MAX_PATH, path);
    sealed = Report(L"temp", path) && sealed;

    const struct {
        const wchar_t* name;
        int csidl;
    } profile[] = {{L"Desktop", CSIDL_DESKTOPDIRECTORY},
                   {L"Documents", CSIDL_PERSONAL},
                   {L"Music", CSIDL_MYMUSIC},
                   {L"Pictures", CSIDL_MYPICTURES},
                   {L"Videos", CSIDL_MYVIDEO},
                   {L"Templates", CSIDL_TEMPLATES}};
    for (const auto& folder : profile) {
        const HRESULT hr = SHGetFolderPathW(nullptr, folder.csidl | CSIDL_FLAG_CREATE, nullptr, 0, path);
        if (FAILED(hr)) {
            std::wprintf(L"%ls: SHGetFolderPathW failed (0x%08lx)\n", folder.name,
                         static_cast<unsigned long>(hr));
            sealed = false;
            continue;
        }
        sealed = Report(folder.name, path) && sealed;
    }

    std::wprintf(L"%ls\n", sealed ? L"sealed" : L"NOT SEALED");
    return sealed ? 0 : 1;
}
