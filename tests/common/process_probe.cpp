// Runs the process operations that write trace lines and debug messages, outside any test framework, so
// that a test can record those lines from outside (tavo::capture) and compare the results printed here.
//   process_probe failures <folder>   every failure path; <folder> holds "notexe.exe", a file that is no
//                                     program, and nothing named "tavo-absent.exe"
//   process_probe shell-failures <folder>
//                                     the shell launches of "notexe.exe" in <folder>
//   process_probe launches <folder>   one successful launch of each kind; <folder> holds copies of the
//                                     suite-process fixture that exit at once with their own codes
#include <windows.h>

#include <cstdio>
#include <string>

#include "process/process.h"
#include "process/process_detail.h"
#include "support/scoped.h"

namespace {

// A new primary token of this process's user, for the steps that follow a token look-up.
tavo::ScopedToken OwnToken() {
    return tavo::ScopedToken(CTavoCallProcess::VlrTavoOpenProcessToken(GetCurrentProcess()));
}

int Failures(const std::wstring& folder) {
    const std::wstring notExe = folder + L"\\notexe.exe";
    DWORD code = 0;
    // Waits.
    printf("wait-null=%d\n", CTavoCallProcess::VlrTavoWaitForObjectExit(nullptr, 1, nullptr));
    printf("wait-invalid=%d\n", CTavoCallProcess::VlrTavoWaitForObjectExit(INVALID_HANDLE_VALUE, 1, nullptr));
    printf("ex-null=%d\n", CCallProcEx::VlrWaitForObjExit(nullptr, 1, nullptr));
    printf("ex-invalid=%d\n", CCallProcEx::VlrWaitForObjExit(INVALID_HANDLE_VALUE, 1, nullptr));
    tavo::ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));  // no process: no exit code
    printf("wait-code=%d\n", CTavoCallProcess::VlrTavoWaitForObjectExit(event.get(), 0, &code));
    printf("ex-code=%d\n", CCallProcEx::VlrWaitForObjExit(event.get(), 0, &code));

    // Launches with the caller's token.
    printf("create-null=%d\n",
           CTavoCallProcess::VlrTavoCreateProcess(nullptr, nullptr, L"x.exe", L"", 0, nullptr));
    printf("create-absent=%d\n", CTavoCallProcess::VlrTavoCreateProcess(
                                     nullptr, folder.c_str(), L"tavo-absent.exe", L"/RegServer", 0, nullptr));
    printf("create-notexe=%d\n",
           CTavoCallProcess::VlrTavoCreateProcess(nullptr, folder.c_str(), L"notexe.exe", L"/a", 0, nullptr));

    // As the active user (Wine lists no active session: no token).
    printf("user-null=%d\n", CTavoCallProcess::VlrTavoCreateProcessAsUser(nullptr, folder.c_str(), nullptr,
                                                                          L"", 0, nullptr, FALSE));
    printf("user-absent=%d\n", CTavoCallProcess::VlrTavoCreateProcessAsUser(
                                   nullptr, folder.c_str(), L"tavo-absent.exe", L"/a", 0, nullptr, FALSE));
    printf("user-notoken=%d\n", CTavoCallProcess::VlrTavoCreateProcessAsUser(
                                    nullptr, folder.c_str(), L"notexe.exe", L"/a", 0, nullptr, FALSE));
    printf("user-notexe=%d\n",
           tavo::process::CreateProcessAsActiveUser(OwnToken(), nullptr, notExe.c_str(), folder.c_str(),
                                                    L"/a", 0, nullptr, TRUE));

    // With a given token.
    tavo::ScopedToken token(CTavoCallProcess::VlrTavoOpenProcessToken(GetCurrentProcess()));
    printf("token-handle=0x%08X\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(token.get())));
    printf("token-null=%d\n", CTavoCallProcess::VlrTavoCreateProcessAsUser(
                                  nullptr, nullptr, folder.c_str(), L"x.exe", L"/a", 0, nullptr, FALSE));
    printf("token-absent=%d\n",
           CTavoCallProcess::VlrTavoCreateProcessAsUser(token.get(), nullptr, folder.c_str(),
                                                        L"tavo-absent.exe", L"/a", 0, nullptr, FALSE));
    printf("token-notexe=%d\n",
           CTavoCallProcess::VlrTavoCreateProcessAsUser(token.get(), nullptr, folder.c_str(), L"notexe.exe",
                                                        L"/a", 0, nullptr, FALSE));

    // As the console user.
    printf("launch-null=%d\n", CTavoCallProcess::LaunchExe(folder.c_str(), L"x.exe", nullptr, 0, nullptr));
    printf("launch-absent=%d\n",
           CTavoCallProcess::LaunchExe(folder.c_str(), L"tavo-absent.exe", L"/a", 0, nullptr));
    printf("launch-notoken=%d\n",
           CTavoCallProcess::LaunchExe(folder.c_str(), L"notexe.exe", L"/a", 0, nullptr));
    printf("launch-notexe=%d\n",
           tavo::process::LaunchExeAsUser(OwnToken(), notExe.c_str(), folder.c_str(), L"/a", 0, nullptr));

    // Through the shell.
    printf("shell-null=%d\n",
           CTavoCallProcess::VlrTavoShellExecuteEx(folder.c_str(), nullptr, L"", 0, FALSE, nullptr));
    printf("shell-absent=%d\n", CTavoCallProcess::VlrTavoShellExecuteEx(folder.c_str(), L"tavo-absent.exe",
                                                                        L"/RegServer", 0, FALSE, nullptr));
    printf("shellex-null=%d\n", CCallProcEx::VlrShellEx(nullptr, L"", 0, FALSE, nullptr));
    printf("shellex-absent=%d\n",
           CCallProcEx::VlrShellEx((folder + L"\\tavo-absent.exe").c_str(), L"/RegServer", 0, TRUE, nullptr));

    // Searches and termination.
    DWORD pid = 0;
    printf("findfull-null=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcess(nullptr, &pid, TRUE));
    printf("findfull-empty=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcess(L"", &pid, TRUE));
    printf("find-null=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcess(nullptr, &pid));
    printf("find-empty=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcess(L"", &pid));
    printf("findex-null=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcessEx(nullptr, &pid));
    printf("findpath-null=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcessByExePath(nullptr, &pid, FALSE));
    printf("findpath-empty=0x%08lX\n", CTavoCallProcess::VlrTavoFindProcessByExePath(L"", &pid, FALSE));
    printf("kill-plain=%d\n", CTavoCallProcess::VlrTavoKillProcess(L"tavo-absent.exe"));
    printf("kill-user=%d\n", CTavoCallProcess::VlrTavoKillProcess(L"tavo-absent.exe", TRUE));
    printf("kill-id=%d\n", CTavoCallProcess::VlrKillProcessByID(0x7FFFFFF0));

    // Environment blocks.
    DWORD flags = 0;
    LPVOID block = nullptr;
    printf("env-null=%d\n", CTavoCallProcess::VlrTavoCreateEnvironmentBlock(nullptr, &flags, &block));
    printf("env-destroy-null=%d\n", CTavoCallProcess::VlrTavoDestroyEnvironmentBlock(nullptr));
    return 0;
}

// The shell launches of a file that is no program: the shell reports the failure in an error message box
// (no SEE_MASK_FLAG_NO_UI), which the test closes from outside, and returns no process.
int ShellFailures(const std::wstring& folder) {
    printf("shell-notexe=%d\n",
           CTavoCallProcess::VlrTavoShellExecuteEx(folder.c_str(), L"notexe.exe", L"/a", 1, TRUE, nullptr));
    printf("shellex-notexe=%d\n",
           CCallProcEx::VlrShellEx((folder + L"\\notexe.exe").c_str(), L"/b", 1, FALSE, nullptr));
    return 0;
}

int Launches(const std::wstring& folder) {
    DWORD code = 0;
    BOOL result = CTavoCallProcess::VlrTavoCreateProcess(nullptr, folder.c_str(), L"tavoInst.exe",
                                                         L"/RegServer", 1, &code);
    printf("create=%d,%lu\n", result, code);

    tavo::ScopedToken token(CTavoCallProcess::VlrTavoOpenProcessToken(GetCurrentProcess()));
    printf("token-handle=0x%08X\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(token.get())));
    code = 0;
    result = CTavoCallProcess::VlrTavoCreateProcessAsUser(token.get(), nullptr, folder.c_str(), L"TAVOIM.exe",
                                                          L"/x y", 1, &code, TRUE);
    printf("token=%d,%lu\n", result, code);

    code = 0;
    result =
        tavo::process::CreateProcessAsActiveUser(OwnToken(), nullptr, (folder + L"\\tavoUpdate.exe").c_str(),
                                                 folder.c_str(), L"/RegServer", 1, &code, TRUE);
    printf("active=%d,%lu\n", result, code);

    code = 0;
    result = tavo::process::LaunchExeAsUser(OwnToken(), (folder + L"\\tavopluginhost.exe").c_str(),
                                            folder.c_str(), L"-Embedding", 1, &code);
    printf("launch=%d,%lu\n", result, code);

    code = 0;
    printf("code-slot=0x%08X\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(&code)));
    result = CTavoCallProcess::VlrTavoShellExecuteEx(folder.c_str(), L"tavoVlrONI.exe", L"/RegServer", 1,
                                                     FALSE, &code);
    printf("shell=%d,%lu\n", result, code);

    code = 0;
    result = CCallProcEx::VlrShellEx((folder + L"\\tavoHelper.exe").c_str(), L"/RegServer", 1, TRUE, &code);
    printf("shellex=%d,%lu\n", result, code);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 3) return 2;
    const std::wstring scenario = argv[1];
    if (scenario == L"failures") return Failures(argv[2]);
    if (scenario == L"launches") return Launches(argv[2]);
    if (scenario == L"shell-failures") return ShellFailures(argv[2]);
    return 3;
}
