// A directory opened once, whose files are reached only through it.
#pragma once

#include <string>

#include "os/tRegularFile.h"

namespace nDRAVI100 {

// The directory that holds a map file and the files beside it (the lock,
// temporary and kept files), or the records of zembril-sync.
//
// Its path is resolved once, when it is opened (inside the root, see
// openInRoot); from then on every file in it is named relative to this
// descriptor (openat, renameat, unlinkat) and never through a symbolic
// link. So a user who may change the directory, or a link on the way to
// it, cannot make root read, write or move a file anywhere else: a link
// put in place of one of the files is refused, and swapping the directory
// for another after it was opened changes nothing for this run.
class tDirectory {
 public:
  // Nothing opened: every file in it is missing (error() says ENOENT).
  tDirectory() = default;
  ~tDirectory();
  tDirectory(const tDirectory&) = delete;
  tDirectory& operator=(const tDirectory&) = delete;
  tDirectory(tDirectory&& other) noexcept;
  tDirectory& operator=(tDirectory&& other) noexcept;

  // Opens the directory at `path`, following links on the way, inside
  // `root` (empty: the running system; see openInRoot). Opening never fails
  // the caller: a directory that cannot be opened keeps the errno in
  // error(), and its files then cannot be opened either, with that errno.
  // On the running system the way to it is walked and judged as it is
  // opened (see openJudgingTheWay), and steeredBy() says whether a user
  // other than root and the caller could have led it elsewhere.
  static tDirectory open(const std::string& path, const std::string& root = std::string());

  // Opens the directory that holds the file at `filePath`.
  static tDirectory holding(const std::string& filePath, const std::string& root = std::string());

  // The descriptor (O_PATH: search permission is all it needs), or -1.
  [[nodiscard]] int descriptor() const { return fd; }
  [[nodiscard]] int error() const { return openError; }
  [[nodiscard]] const std::string& path() const { return directoryPath; }
  // Empty when only root and the caller could change the way to it (or it
  // is in a root, which is taken as a chroot); else which component another
  // user could change, and why.
  [[nodiscard]] const std::string& steeredBy() const { return steered; }
  // The path of `name` in it, for messages and for the tools that show it.
  [[nodiscard]] std::string pathOf(const std::string& name) const;

  // Opens `name` with `access` when it is a regular file (never a link):
  // by name again once it is found to be one, where the way to the
  // directory was judged and no one else could steer it, else as the file
  // found (see tRegularFile::tReopening).
  [[nodiscard]] tRegularFile openFile(const std::string& name, int access) const;

  // fstatat of `name` without following a link: 0, or the errno.
  [[nodiscard]] int statFile(const std::string& name, struct stat& found) const;

  // Makes the creations, renames and removals made in the directory so far
  // survive a power loss. Nothing can be done about a failure here: the
  // change itself has been made.
  void sync() const;

 private:
  int fd = -1;
  int openError = 2;  // ENOENT
  std::string directoryPath;
  bool judged = false;  // the way was walked and judged: the running system's
  std::string steered;
};

// Returns the last component of `path`: what follows its last '/'.
std::string fileNameOf(const std::string& path);

}  // namespace nDRAVI100
