// Who holds an flock on a file right now, found without taking it.
#pragma once

#include <string>
#include <vector>

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

// The flock(2) locks on one file, as the kernel lists them.
struct tFileLocks {
  bool known = false;  // false when /proc/locks or the file could not be examined
  int error = 0;       // errno of that failure
  std::vector<tLockProcess> holders;
  std::vector<tLockProcess> waiters;
};

// Looks up the flock locks on the file at `path` in /proc/locks by its
// device and inode, and each process's command line in /proc/PID/cmdline.
// /proc/locks names the process that took a lock, which may have exited
// while a child still holds the descriptor: the holders are therefore the
// processes whose descriptors of the file carry the lock (their
// /proc/PID/fdinfo lists it), where /proc shows them.
// A link at `path` is not followed: the locks are those on the link itself,
// as zembril never opens its lock file through one. Takes no lock, opens
// nothing at `path` and never waits. A path where nothing is has no locks
// and reads as known. /proc/locks leaves out the locks of processes that
// the PID namespace of its mount cannot see.
[[nodiscard]] tFileLocks findFileLocks(const std::string& path);

}  // namespace nDRAVI100
