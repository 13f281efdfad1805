// Opening a path of the running system as open(2) resolves it, while
// asking who besides root and the caller could steer it elsewhere.
#pragma once

#include <sys/stat.h>

#include <deque>
#include <string>

namespace nDRAVI100 {

// As the kernel's own limit on links followed while resolving one path.
constexpr int kMostLinksOnAPath = 40;

// The names between the slashes of `path`, in order; empty ones (from "//"
// or a slash at either end) left out.
std::deque<std::string> componentsOf(const std::string& path);

// How far openJudgingTheWay goes at the end of the way.
enum class tWayEnd {
  // What the path names is opened (O_PATH).
  opened,
  // Where no one but root and the caller could steer the way, what the path
  // names is only stat'd, for a caller that opens it by name anyway (see
  // tRegularFile::openLocated); elsewhere it is opened, as the caller then
  // needs that very file.
  openedOnlyWhereSteerable,
};

// What openJudgingTheWay found.
struct tJudgedOpening {
  // An O_PATH descriptor of what the path names, or -1: on failure, or
  // where the end was not to be opened.
  int fd = -1;
  int error = 0;  // errno of the failed step, when fd is -1; else 0
  // What fstat said of what the path names, so that a caller need not ask
  // again; zeroed on failure.
  struct stat status {};
  // Empty when only root and the caller could change where the path leads;
  // else the first component that another user could, and why
  // ("/home/ann: owned by uid 1000", "/srv/x: writable by everyone").
  std::string steeredBy;
};

// Opens `path` (absolute, or from the working directory) one component at
// a time, each without following it (O_PATH, O_NOFOLLOW), following a
// symbolic link by reading it and walking what it says, as the kernel
// would; so what is judged is what is opened. The way can be steered by a
// user other than root and the caller when it passes through a directory
// that such a user owns or that everyone may write (unless it is sticky
// and the name looked up in it is root's or the caller's), or through a
// link such a user owns. A directory that its group may write is trusted,
// as the administrator set it. With `judgeEnd`, what the path names counts
// too: a file such a user owns or that everyone may write. What the path
// names is otherwise not judged: its owner may change what is in it, but
// not where it is. A way that no one but root and the caller could steer,
// and that holds no link, ".", or "..", is judged with one fstatat of each
// of its beginnings instead of a descriptor each: the verdict is the same.
[[nodiscard]] tJudgedOpening openJudgingTheWay(const std::string& path, bool judgeEnd,
                                               tWayEnd end = tWayEnd::opened);

}  // namespace nDRAVI100
