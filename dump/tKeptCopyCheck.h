// The part of --check that finds the copies of damaged map files that runs
// kept aside, and says what can still be read from each.
#pragma once

#include <string>

#include "dump/tFindings.h"

namespace nDRAVI100 {

// Adds a finding, which needs attention, for each kept copy of a damaged
// map file at `path` (inside `root`), by its number: what it still holds,
// and how to salvage it.
void checkKeptCopies(const std::string& path, const std::string& root, tFindings& findings);

}  // namespace nDRAVI100
