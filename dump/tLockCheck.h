// The part of --check that asks about the lock of the map directory: its
// file, and who holds it.
#pragma once

#include <string>

#include "dump/tSetupCheck.h"

namespace nDRAVI100 {

// Adds the finding labelled with the name of the lock file at `path`:
// missing (the next run by root makes it), one that zembril accepts (a
// regular file that only root can open), or one it refuses, which needs
// attention. A link at `path` counts as the link, never as its target.
void checkLockFile(const std::string& path, tFindings& findings);

// Adds the "lock" finding: free, held by a run (named by its process and
// command line, with how many wait), or unknown and why. Returns true when
// a run holds the lock of the lock file at `path` right now.
bool checkLock(const std::string& path, tFindings& findings);

}  // namespace nDRAVI100
