// Who holds the map directory's lock right now, found without taking it.
#pragma once

#include <string>
#include <vector>

namespace nDRAVI100 {

// One process that holds, or waits for, an flock on the directory.
struct tLockProcess {
  long pid = 0;             // 0 when the process is outside this PID namespace
  std::string commandLine;  // its arguments joined by spaces, each escaped for text;
                            // empty when /proc no longer shows them
};

// The flock(2) locks on one directory, as the kernel lists them.
struct tDirectoryLocks {
  bool known = false;  // false when /proc/locks or the directory could not be read
  int error = 0;       // errno of that failure
  std::vector<tLockProcess> holders;
  std::vector<tLockProcess> waiters;
};

// Looks up the flock locks on the directory at `path` in /proc/locks by the
// directory's device and inode, and each process's command line in
// /proc/PID/cmdline. Takes no lock and never waits for one. A directory
// that does not exist has no locks and reads as known.
[[nodiscard]] tDirectoryLocks findDirectoryLocks(const std::string& path);

}  // namespace nDRAVI100
