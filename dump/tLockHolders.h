// Who holds an flock on a file right now, found without taking it.
#pragma once

#include <string>
#include <vector>

#include "cli/tFailure.h"

namespace nDRAVI100 {

// One process that holds, or waits for, an flock on the file.
struct tLockProcess {
  long pid = 0;             // 0 when the process is outside this PID namespace
  std::string commandLine;  // its arguments joined by spaces, each escaped for text;
                            // empty when /proc no longer shows them
  long takenBy = 0;         // for a holder: the process that took the lock, when that
                            // is another one (it exited, or passed the descriptor on)
  bool takerGone = false;   // that process has exited
};

// The flock(2) locks on one file.
struct tFileLocks {
  std::vector<tLockProcess> holders;
  std::vector<tLockProcess> waiters;  // processes that have the file open without the lock
};

// Finds the flock locks on the file at `path` without taking one, in time
// that no other user can stretch. Only processes of the file's owner can
// have it open (zembril uses a lock file only while no one else may open
// it), so only their descriptors are looked at: a descriptor of the file
// whose /proc/PID/fdinfo lists a granted FLOCK holds the lock, and its
// "lock:" line names the process that took it, which may have exited while
// a child holds the descriptor on; any other descriptor of the file is a
// run that waits. Where the owner's descriptors cannot be seen (a caller
// who is not the owner), /proc/locks is read instead, for a bounded time,
// and stops once the file's lines are read.
// A link at `path` is not followed: the locks are those on the link itself,
// as zembril never opens its lock file through one. Takes no lock, opens
// nothing at `path` and never waits. A path where nothing is has no locks. Processes that the PID
// namespace of /proc cannot see are not found. Fails, saying why, when the file or the processes
// cannot be examined, or /proc/locks cannot be read in that time.
[[nodiscard]] tResult<tFileLocks> findFileLocks(const std::string& path);

}  // namespace nDRAVI100
