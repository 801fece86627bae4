#include "stop_processes.h"

void StopTavoProcesses() {}

void SpinWait(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
    }
}
