// The part of --check that asks about the lock of the map directory: its
// file, and who holds it.
#pragma once

#include <string>

#include "cli/tFailure.h"
#include "dump/tFindings.h"
#include "dump/tLockHolders.h"

namespace nDRAVI100 {

// Adds the finding labelled with the name of the lock file at `path`:
// missing (the next run by root makes it), one that zembril accepts (a
// regular file that only root can open), or one it refuses, which needs
// attention. A link at `path` counts as the link, never as its target.
void checkLockFile(const std::string& path, tFindings& findings);

// Adds the "lock" finding: free, held by a run (named by its process and
// command line, with how many wait), or unknown and why. Returns the locks
// found on the lock file at `path`, or why none could be found.
tResult<tFileLocks> checkLock(const std::string& path, tFindings& findings);

}  // namespace nDRAVI100
