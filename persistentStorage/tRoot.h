// The directory that stands for "/" in an offline run, and the one way a
// path of the tool's is opened under it.
#pragma once

#include <sys/types.h>

#include <string>

namespace nDRAVI100 {

// Makes `root` stand for "/" for the rest of this process, as for a system
// image that is being built. Trailing slashes are dropped, so "/" is the
// running system. Returns false and changes nothing when `root` is empty or
// relative.
[[nodiscard]] bool setProcessRoot(const std::string& root);

// The root that setProcessRoot made, without its trailing '/': empty for
// the running system.
const std::string& processRoot();

// Returns true when `path` names the root itself or something below it.
bool isInsideRoot(const std::string& path);

// Opens `path` with open(2)'s `flags` (O_CLOEXEC is always added). A path
// inside the root (isInsideRoot) is resolved as a chroot would resolve it
// from the root: "..", absolute symbolic links and links that climb never
// lead out of it, so an image cannot point the tool at the host's files.
// That takes openat2's RESOLVE_IN_ROOT; a kernel without it makes the open
// fail (ENOSYS) rather than resolve outside. Any other path, and every path
// when there is no root, is opened as given. Returns the descriptor, or -1
// with errno set.
int openInRoot(const std::string& path, int flags, mode_t mode = 0);

}  // namespace nDRAVI100
