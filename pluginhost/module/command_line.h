// What the host's command line asks for.
#pragma once

#include <windows.h>

enum class HostCommand { kRunServer, kRegister, kUnregister };

// Looks for "UnregServer" or "RegServer" right after a '-' or '/' anywhere in the line (program path
// included), compared case-insensitively with everything up to the end of the line: a switch followed by
// more text does not count. The first delimiter whose rest matches decides. A null line runs the server.
HostCommand ScanHostCommandLine(LPCWSTR commandLine);
