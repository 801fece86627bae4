#pragma once

#include <windows.h>

// Stops the suite's processes, the plug-in host and the update service, and removes the service.
void StopTavoProcesses();

// Returns once `milliseconds` have passed on the tick counter, without sleeping.
void SpinWait(DWORD milliseconds);
