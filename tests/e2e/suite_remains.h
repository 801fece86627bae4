// What the whole-suite scenarios share besides the installer and the footprint: the remains an uninstall
// may leave on the machine, each with its reason, and the uninstaller's private folder and console as the
// scenarios look at them.
#pragma once

#include <string>

#include "footprint.h"

namespace tavo::test {

// Whether the uninstaller's private folder ("TavoRemover-...") is still in the temporary folder.
bool PrivateFolderInTemp();

// The uninstaller's console without the paths the file-system steps print (more than ten thousand; their
// reports of deletions at the next restart stay); `paths` is how many were left out.
std::string Readable(const std::string& output, size_t& paths);

// Compares the footprints from before the install and after the uninstall: prints what stays as expected,
// by reason, and returns every other change, one a line (empty when there is none). Only additions and
// changed values may be expected: whatever was on the machine before the install and is missing
// afterwards is always a fault.
std::string UnexpectedChanges(const footprint::Footprint& before, const footprint::Footprint& after);

}  // namespace tavo::test
