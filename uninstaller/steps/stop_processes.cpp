#include "steps/steps.h"

void StopTavoProcesses() {}

void SpinWait(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
    }
}
