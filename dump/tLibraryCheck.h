// The part of --check that looks for the libraries that a map file's
// bindings name.
#pragma once

#include <string>

#include "dump/tFindings.h"
#include "dump/tMissingLibraries.h"

namespace nDRAVI100 {

// How many bindings --check names of each kind; the rest are counted.
constexpr std::size_t kFirstFewBindings = 3;

// Adds the findings on `census`, taken of the map file at `mapFile`: a
// "missing" one, which needs attention, with how many bindings name a
// library that is not there (or is not a regular file) and the first few;
// a "relative" one with how many name theirs by a path that is not
// absolute, which the loader searches for and the check does not; and an
// "unexamined" one for those whose library cannot be examined. A census
// that is all found adds nothing. `x64` tells the --missing command line
// that lists them all.
void checkLibraries(const std::string& mapFile, bool x64, const tLibraryCensus& census,
                    tFindings& findings);

}  // namespace nDRAVI100
