#include "module/command_line.h"

HostCommand ScanHostCommandLine(LPCWSTR commandLine) {
    if (!commandLine) return HostCommand::kRunServer;
    for (LPCWSTR p = commandLine; *p; ++p) {
        if (*p != L'-' && *p != L'/') continue;
        if (lstrcmpiW(p + 1, L"UnregServer") == 0) return HostCommand::kUnregister;
        if (lstrcmpiW(p + 1, L"RegServer") == 0) return HostCommand::kRegister;
    }
    return HostCommand::kRunServer;
}
