// The part of --check that asks about the lock of the map directory: its
// file, and who holds it.
#pragma once

#include <string>

#include "cli/tFailure.h"
#include "dump/tFindings.h"
#include "dump/tLockHolders.h"
#include "os/tDirectory.h"

namespace nDRAVI100 {

// Adds the finding labelled with the name of the lock file at `path`, in
// the map directory that `directory` holds open as a run opens it: missing
// (the next run by root makes it, unless the way there is steered), one
// that zembril accepts (a regular file that only root can open), one that
// the next run by root replaces (see replacesLockFile), or one it refuses;
// the last two need attention. A link at `path` counts as the link, never
// as its target.
void checkLockFile(const std::string& path, const tDirectory& directory, bool steered,
                   tFindings& findings);

// Adds the "lock" finding: free, held by a run (named by its process and
// command line, with how many wait), or unknown and why. Returns the locks
// found on the lock file at `path`, or why none could be found.
tResult<tFileLocks> checkLock(const std::string& path, tFindings& findings);

}  // namespace nDRAVI100
