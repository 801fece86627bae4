// Entry point of tavopluginhost.exe, the plug-in host (COM local server).
#include <windows.h>

#include "host_run.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunHost(instance, GetCommandLineW());
}
