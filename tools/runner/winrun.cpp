// winrun: runs a Windows program, passes its standard output through, records every debug-output line
// and reports its full 32-bit exit code (wine itself reports it modulo 256).
//
//   winrun [--debug FILE] [--wait-for NAME]... [--wait-file PATH] [--exit-code FILE] [--timeout MS] [--cd
//   FOLDER] -- program [args...]
//
// --debug FILE      writes each debug string of every process as it came, one record per string: "[pid] text"
// --wait-for NAME   after the program ended, also waits until no process of that image name runs
//                   (may be given more than once)
// --wait-file PATH  ... and until that file is gone (environment variables in PATH are expanded)
// --exit-code FILE  writes the exit code as "0x%08X" and as a signed decimal
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "debug_capture.h"

namespace {

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

int Usage() {
    fwprintf(stderr,
             L"usage: winrun [--debug FILE] [--wait-for NAME]... [--wait-file PATH] [--exit-code FILE] "
             L"[--timeout MS] [--cd FOLDER] "
             L"-- program [args...]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    tavo::capture::Options options;
    options.captureOutput = false;
    const wchar_t* debugFile = nullptr;
    const wchar_t* exitCodeFile = nullptr;
    std::vector<std::wstring> waitFor;
    std::wstring waitFile;
    int i = 1;
    for (; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--") {
            ++i;
            break;
        }
        if (i + 1 < argc && arg == L"--wait-for") {
            waitFor.push_back(argv[++i]);
        } else if (i + 1 < argc && arg == L"--wait-file") {
            wchar_t expanded[MAX_PATH] = {};
            DWORD length = ExpandEnvironmentStringsW(argv[++i], expanded, MAX_PATH);
            waitFile = length > 0 && length <= MAX_PATH ? expanded : argv[i];
        } else if (i + 1 < argc && arg == L"--debug") {
            debugFile = argv[++i];
        } else if (i + 1 < argc && arg == L"--exit-code") {
            exitCodeFile = argv[++i];
        } else if (i + 1 < argc && arg == L"--timeout") {
            options.timeoutMs = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10));
        } else if (i + 1 < argc && arg == L"--cd") {
            options.currentFolder = argv[++i];
        } else {
            return Usage();
        }
    }
    if (i >= argc) return Usage();
    for (int first = i; i < argc; ++i) {
        if (i > first) options.commandLine += L' ';
        options.commandLine += QuoteArgument(argv[i]);
    }

    FILE* debug = debugFile ? _wfopen(debugFile, L"wb") : nullptr;
    options.onDebugLine = [&](const tavo::capture::DebugLine& line) {
        if (debug) {
            fprintf(debug, "[%lu] %s", static_cast<unsigned long>(line.pid), line.text.c_str());
            if (line.text.empty() || line.text.back() != '\n') fputc('\n', debug);
            fflush(debug);
        }
    };
    if (!waitFor.empty() || !waitFile.empty()) {
        options.keepWaiting = [&] {
            for (const auto& name : waitFor) {
                if (tavo::capture::IsImageRunning(name.c_str())) return true;
            }
            return !waitFile.empty() && GetFileAttributesW(waitFile.c_str()) != INVALID_FILE_ATTRIBUTES;
        };
    }
    fflush(stdout);
    tavo::capture::Result result = tavo::capture::Run(options);
    if (debug) fclose(debug);
    if (!result.started) {
        fwprintf(stderr, L"winrun: cannot start %ls (error %lu)\n", options.commandLine.c_str(),
                 result.error);
        return 127;
    }
    if (result.timedOut) fwprintf(stderr, L"winrun: timed out after %lu ms\n", options.timeoutMs);
    if (exitCodeFile) {
        if (FILE* file = _wfopen(exitCodeFile, L"wb")) {
            fprintf(file, "0x%08lX %ld\n", result.exitCode, static_cast<long>(result.exitCode));
            fclose(file);
        }
    }
    return static_cast<int>(result.exitCode);
}
