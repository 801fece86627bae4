#pragma once

// Removes the installer records of the suite's package, the client's keys, leftover values and the
// suite's uninstall entry.
void CleanupRegistries();
