// The lock that runs changing one map directory take in turn.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "os/tDirectory.h"

namespace nDRAVI100 {

// Returns why the file described by `file` cannot serve as a lock file that
// only `owner` can hold, or an empty string when it can: it must be a
// regular file with one link, owned by `owner`, that no one else may open
// ("not a regular file", "owned by uid 1000", "open to others (mode 0644)",
// "2 links").
std::string lockFileFault(const struct stat& file, uid_t owner);

// Returns true when a run of `user` that meets the lock file described by
// `file` in `directory` removes it, once it holds its lock, and makes it
// afresh instead of refusing it: its one fault is a second name, and only
// root and `user` may change the directory or the way to it.
bool replacesLockFile(const struct stat& file, const tDirectory& directory, uid_t user);

// An exclusive flock on the map directory's lock file, held for the life of
// the object. Runs that change the same map file take turns through it, so
// that none overwrites another's changes; a run that finds the lock taken
// waits.
//
// Why a lock file and not the directory itself: flock needs only a
// descriptor, and anyone who can read a directory can open it, so any local
// user could hold a lock on the directory and stall every installer. The
// lock file is created with mode 0600, without following a link, and is
// used only while it is a regular file with one link that belongs to the
// user of the run and that no one else may open: then only that user (root,
// for installers) can open it, and so only someone who may change the map
// can hold its lock. Without the lock a run may still read the map; it must
// not write it.
class tMapLock {
 public:
  tMapLock() = default;
  // Opens or creates the lock file of the map directory open at `directory`
  // (never through a link, and opening nothing but a regular file) and
  // waits until this run holds its lock; held() says whether it does. Why
  // it does not (no map directory, a user who may not create the lock
  // file, something at its path that is no safe lock file, a failed flock)
  // makes no difference: the run goes on as a reader. A lock file whose
  // only fault is a second name, in a directory that only root and the
  // run's user may change, is removed once its lock is held and made
  // afresh.
  explicit tMapLock(const tDirectory& directory);
  ~tMapLock();

  tMapLock(const tMapLock&) = delete;
  tMapLock& operator=(const tMapLock&) = delete;
  tMapLock(tMapLock&& other) noexcept;
  tMapLock& operator=(tMapLock&& other) noexcept;

  [[nodiscard]] bool held() const { return descriptor >= 0; }

 private:
  void release();

  int descriptor = -1;  // the locked lock file, while the lock is held
};

}  // namespace nDRAVI100
