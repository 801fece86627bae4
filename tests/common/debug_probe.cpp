// Runs the string and path operations that write debug messages, outside any test framework, so that a
// test can record the messages from outside (tavo::capture) and compare the results printed here.
//   common_debug_probe lines | paths-null | root | appdata | signer
#include <cstdio>
#include <cstring>
#include <string>

#include "paths/path_api.h"
#include "strings/string_ex.h"
#include "verify/verify.h"

namespace {

int Lines() {
    printf("count=%d\n", CStringEx(L"a\r\nb").GetLineCount());
    printf("count=%d\n", CStringEx(L"a\nb\n").GetLineCount());
    printf("count=%d\n", CStringEx(L"single").GetLineCount());
    printf("count=%d\n", CStringEx().GetLineCount());  // writes nothing
    printf("find=%d\n", CStringEx(L"x").FindLine(nullptr));
    printf("find=%d\n", CStringEx().FindLine(L"x"));
    printf("find=%d\n", CStringEx(L"one\rtwo  \nthree").FindLine(L"two"));  // writes nothing
    CStringEx path(L"C:\\dir\\");
    path.PathAppend(nullptr);
    printf("path=%ls\n", path.GetString());
    return 0;
}

int PathsNull() {
    CStringEx out(L"untouched");
    BOOL ok = CPathApi::GetResFilePath(nullptr, nullptr, out);
    printf("res=%d out=%ls\n", ok, out.GetString());
    ok = CPathApi::GetResFilePath(nullptr, L"\\tavoRes.dll", out);
    printf("res=%d out=%ls\n", ok, out.GetString());
    wchar_t buffer[MAX_PATH] = L"x";
    printf("appdata=%d\n", CPathApi::GetAppDataPluginsPath(nullptr, buffer));
    printf("appdata=%d\n", CPathApi::GetAppDataPluginsPath(L"f", nullptr));
    return 0;
}

int Root() {
    CStringEx out(L"old");
    const BOOL ok = CPathApi::GetTavoRootPath(out);
    printf("root=%d [%ls]\n", ok, out.GetString());
    return 0;
}

int AppData() {
    wchar_t buffer[MAX_PATH] = {};
    const int length = CPathApi::GetAppDataPluginsPath(L"settings.xml", buffer);
    printf("length=%d [%ls]\n", length, buffer);
    return 0;
}

// The signer of an empty path, of the probe itself (unsigned), of the signed fixture changed after
// signing, of a file that is not there and of a signed file that another writer holds.
int Signer() {
    printf("empty=[%ls]\n", GetFileSigner(L"").c_str());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    printf("unsigned=[%ls]\n", GetFileSigner(self).c_str());
    std::wstring tampered(self);
    tampered.resize(tampered.find_last_of(L'\\') + 1);
    tampered += L"fixtures\\signed\\tampered.exe";
    printf("tampered=[%ls]\n", GetFileSigner(tampered.c_str()).c_str());
    // Files that cannot be opened: one that is not there, and a signed one held open by another writer.
    const std::wstring folder = tampered.substr(0, tampered.find_last_of(L'\\') + 1);
    printf("missing=[%ls]\n", GetFileSigner((folder + L"missing.exe").c_str()).c_str());
    const std::wstring good = folder + L"good.exe";
    HANDLE held =
        CreateFileW(good.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    printf("held=[%ls]\n", GetFileSigner(good.c_str()).c_str());
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return 2;
    if (strcmp(argv[1], "lines") == 0) return Lines();
    if (strcmp(argv[1], "paths-null") == 0) return PathsNull();
    if (strcmp(argv[1], "root") == 0) return Root();
    if (strcmp(argv[1], "appdata") == 0) return AppData();
    if (strcmp(argv[1], "signer") == 0) return Signer();
    return 3;
}
