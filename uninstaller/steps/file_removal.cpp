#include "steps/steps.h"

void ReleaseLockedModules(LPCWSTR) {}

int RemoveInstallFiles(LPCWSTR) { return 0; }

void CleanupShortcuts() {}

void CleanupCommonShortcuts() {}
