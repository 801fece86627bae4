// The install folder's removal timed: RemoveInstallFolder (deletion through handles) against the way it
// was done by path before (listing with FindFirstFileW, DeleteFileW and RemoveDirectoryW by path), on the
// same tree of 10,000 files in 110 folders, rounds alternating which goes first. Both print every path,
// as the step does, into a file. Prints one line per run and the medians with their ratio.
//   file_removal_bench.exe [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "console/console.h"
#include "paths/path_api.h"
#include "steps/steps.h"
#include "support/scoped.h"

namespace {

bool MakeTree(const std::wstring& root) {
    if (!CreateDirectoryW(root.c_str(), nullptr)) return false;
    for (int top = 0; top < 10; ++top) {
        const std::wstring level1 = root + L"\\dir" + std::to_wstring(top);
        CreateDirectoryW(level1.c_str(), nullptr);
        for (int sub = 0; sub < 10; ++sub) {
            const std::wstring level2 = level1 + L"\\sub" + std::to_wstring(sub);
            CreateDirectoryW(level2.c_str(), nullptr);
            for (int file = 0; file < 100; ++file) {
                HANDLE handle = CreateFileW((level2 + L"\\file" + std::to_wstring(file) + L".dat").c_str(),
                                            GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
                if (handle == INVALID_HANDLE_VALUE) return false;
                CloseHandle(handle);
            }
        }
    }
    return true;
}

// The removal as it was: every path printed, then deleted by path.
bool DeleteOneFile(const std::wstring& path, DWORD attributes) {
    if (DeleteFileW(path.c_str())) return true;
    if (!(attributes & FILE_ATTRIBUTE_READONLY) || GetLastError() != ERROR_ACCESS_DENIED) return false;
    if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
    if (DeleteFileW(path.c_str())) return true;
    SetFileAttributesW(path.c_str(), attributes);
    return false;
}

int ByPathTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry = {};
    tavo::ScopedFindHandle listing(FindFirstFileW((folder + L"\\*.*").c_str(), &entry));
    if (!listing) return 1;
    int result = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        ConsoleLine(path.c_str());
        if (path.size() >= MAX_PATH) {
            result = 1;
            continue;
        }
        const DWORD attributes = entry.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                         : DeleteFileW(path.c_str());
            if (!removed) result = 1;
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (ByPathTree(path) == 1) result = 1;
            if (!RemoveDirectoryW(path.c_str())) result = 1;
        } else if (!DeleteOneFile(path, attributes)) {
            result = 1;
        }
    } while (FindNextFileW(listing.get(), &entry));
    return result;
}

int ByPath(const std::wstring& folder) {
    if (JudgeFolderForDeletion(folder.c_str()) != FolderVerdict::kDeletable) return 1;
    int result = ByPathTree(folder);
    ConsoleLine(folder.c_str());
    if (!RemoveDirectoryW(folder.c_str())) result = 1;
    return result;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// One timed removal with the console in a file; -1 when the tree could not be made or was not removed.
double Run(const std::wstring& root, const std::wstring& consoleFile, bool handles) {
    if (!MakeTree(root)) return -1;
    HANDLE console =
        CreateFileW(consoleFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    const int result = handles ? RemoveInstallFolder(root.c_str()) : ByPath(root);
    QueryPerformanceCounter(&end);
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(console);
    DeleteFileW(consoleFile.c_str());
    if (result != 0 || GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES) return -1;
    return Milliseconds(start, end);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 5;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring work = std::wstring(temp) + L"tavo-file-removal-bench";
    CreateDirectoryW(work.c_str(), nullptr);
    const std::wstring root = work + L"\\Tavo Suite", consoleFile = work + L"\\console.txt";
    std::vector<double> byPath, byHandle;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool handles = (round + turn) % 2 == 1;
            const double ms = Run(root, consoleFile, handles);
            if (ms < 0) {
                printf("bench failed: the %s removal left the tree\n", handles ? "handle" : "by-path");
                return 1;
            }
            (handles ? byHandle : byPath).push_back(ms);
            printf("bench round %d %s %.0f ms\n", round + 1, handles ? "handles" : "by-path", ms);
        }
    }
    RemoveDirectoryW(work.c_str());
    const double path = Median(byPath), handle = Median(byHandle);
    printf("bench median by-path %.0f ms, handles %.0f ms, ratio handles / by-path %.2f\n", path, handle,
           path > 0 ? handle / path : 0.0);
    return 0;
}
