// The host's run, from COM initialisation to the exit code: a registration run when the command line
// asks for one, else the server run (manager binding, class objects, message loop, idle shutdown).
#pragma once

#include <windows.h>

// 0 after an orderly server run, -1 when the server could not start, the HRESULT of a registration run.
int RunHost(HINSTANCE instance, LPCWSTR commandLine);
