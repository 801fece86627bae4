// What the whole suite's install and uninstall may leave on a test machine, each with its reason. Only
// additions and changed values may be expected: whatever was on the machine before the install and is
// missing afterwards is always a fault.
#pragma once

#include <span>
#include <string>

#include "footprint.h"

namespace tavo::test {

// In the order they are printed.
std::span<const footprint::Remain> SuiteRemains();

// The remain that explains `change`; null when none does (or something is missing).
const footprint::Remain* ExpectedSuiteRemain(const footprint::Change& change);

// A private folder of the uninstaller ("TavoRemover-...") is in the temporary folder.
bool PrivateFolderInTemp();

// Every change between the two footprints that no remain explains, one a line; empty when there is none.
std::string UnexpectedSuiteChanges(const footprint::Footprint& before, const footprint::Footprint& after);

}  // namespace tavo::test
