// An exclusive lock on a directory, held for the life of the object.
#pragma once

#include <string>

namespace nDRAVI100 {

// Takes an exclusive flock on the directory at `path` and keeps it until the
// object is destroyed, so that runs which read, change and save the same map
// file follow one another instead of overwriting each other's changes. A run
// that finds the directory already locked waits for it. Where the directory
// cannot be opened or locked the object holds nothing and the run goes on
// without the lock: the map file is still replaced atomically, and a missing
// directory simply means there is nothing to protect yet.
class tDirectoryLock {
 public:
  tDirectoryLock() = default;
  explicit tDirectoryLock(const std::string& path);
  ~tDirectoryLock();

  tDirectoryLock(const tDirectoryLock&) = delete;
  tDirectoryLock& operator=(const tDirectoryLock&) = delete;
  tDirectoryLock(tDirectoryLock&& other) noexcept;
  tDirectoryLock& operator=(tDirectoryLock&& other) noexcept;

 private:
  void release();

  int descriptor = -1;
};

}  // namespace nDRAVI100
