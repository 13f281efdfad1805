// Opening a path of a system that may be an image in a directory of the
// running one.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace nDRAVI100 {

// Returns true when `root` is not empty and `path` names it or something
// below it.
bool isInsideRoot(const std::string& root, const std::string& path);

// Opens `path` with open(2)'s `flags` (O_CLOEXEC is always added). `root`
// is the directory that stands for "/" of an image, without a trailing
// '/', or empty for the running system. A path inside the root
// (isInsideRoot) is resolved as a chroot into it would resolve it: "..",
// absolute symbolic links and links that climb never lead out of it, so an
// image cannot point the tool at the host's files. That takes openat2's
// RESOLVE_IN_ROOT; a kernel without it makes the open fail (ENOSYS) rather
// than resolve outside. Any other path is opened as given. Returns the
// descriptor, or -1 with errno set.
int openInRoot(const std::string& root, const std::string& path, int flags, mode_t mode = 0);

// Fills `found` with what `path` leads to, resolved as openInRoot resolves
// it, every link followed. Like the loader, it needs no permission on the
// file itself, only on the way there. Returns 0, or the errno of the
// failure (ENOENT, ELOOP, EACCES...).
int statInRoot(const std::string& root, const std::string& path, struct stat& found);

}  // namespace nDRAVI100
