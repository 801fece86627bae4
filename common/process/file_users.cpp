// Who holds a file, as the Restart Manager names them. Its library is loaded from the system folder only,
// never imported: a program that must run where the Restart Manager is missing still starts.
#include <windows.h>

#include <restartmanager.h>

#include <vector>

#include "process/process.h"
#include "support/proc_address.h"

namespace tavo {

namespace {

using StartSessionFunction = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using EndSessionFunction = DWORD(WINAPI*)(DWORD);
using RegisterResourcesFunction = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT,
                                                 LPCWSTR*);
using GetListFunction = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);

struct RestartManager {
    StartSessionFunction startSession = nullptr;
    EndSessionFunction endSession = nullptr;
    RegisterResourcesFunction registerResources = nullptr;
    GetListFunction getList = nullptr;
    bool ok() const { return startSession && endSession && registerResources && getList; }
};

const RestartManager& Functions() {
    // Loaded once and kept until the process ends, as the other system libraries.
    static CDLLHandle library(LoadSystemLibraryEx(L"rstrtmgr.dll"), TRUE);
    static const RestartManager functions = [] {
        RestartManager found;
        const HMODULE module = library.Get();
        found.startSession = ProcAddress<StartSessionFunction>(module, "RmStartSession");
        found.endSession = ProcAddress<EndSessionFunction>(module, "RmEndSession");
        found.registerResources = ProcAddress<RegisterResourcesFunction>(module, "RmRegisterResources");
        found.getList = ProcAddress<GetListFunction>(module, "RmGetList");
        return found;
    }();
    return functions;
}

// The program file's name of the process the Restart Manager listed, when the process id still names that
// process (same start time); else the name the Restart Manager gave.
std::wstring ProcessName(const RM_PROCESS_INFO& info) {
    const ScopedHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.Process.dwProcessId));
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (process && GetProcessTimes(process.get(), &created, &exited, &kernel, &user) &&
        CompareFileTime(&created, &info.Process.ProcessStartTime) == 0) {
        std::vector<wchar_t> image(32768);
        DWORD size = static_cast<DWORD>(image.size());
        if (QueryFullProcessImageNameW(process.get(), 0, image.data(), &size) && size > 0) {
            const std::wstring path(image.data(), size);
            const size_t slash = path.find_last_of(L"\\/");
            return slash == std::wstring::npos ? path : path.substr(slash + 1);
        }
    }
    return std::wstring(info.strAppName, wcsnlen(info.strAppName, CCH_RM_MAX_APP_NAME + 1));
}

}  // namespace

DWORD ProcessesUsingFile(const std::wstring& path, std::vector<FileUser>& users) {
    users.clear();
    try {
        const RestartManager& rm = Functions();
        if (!rm.ok()) return ERROR_PROC_NOT_FOUND;
        DWORD session = 0;
        WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
        DWORD error = rm.startSession(&session, 0, key);
        if (error != ERROR_SUCCESS) return error;
        LPCWSTR files[] = {path.c_str()};
        error = rm.registerResources(session, 1, files, 0, nullptr, 0, nullptr);
        std::vector<RM_PROCESS_INFO> infos;
        UINT count = 0;
        // The list may grow between the two calls: asked again while it does (a few times at most).
        for (int attempt = 0; error == ERROR_SUCCESS && attempt < 4; ++attempt) {
            UINT needed = 0;
            count = static_cast<UINT>(infos.size());
            DWORD reasons = 0;
            error = rm.getList(session, &needed, &count, infos.empty() ? nullptr : infos.data(), &reasons);
            if (error != ERROR_MORE_DATA) break;
            infos.resize(needed + 4);
            error = ERROR_SUCCESS;
        }
        rm.endSession(session);
        if (error != ERROR_SUCCESS) return error;
        for (UINT i = 0; i < count && i < infos.size(); ++i)
            users.push_back({ProcessName(infos[i]), infos[i].Process.dwProcessId});
        return ERROR_SUCCESS;
    } catch (...) {
        users.clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace tavo
