// A path resolved one component at a time, as the kernel resolves it, for
// the check that asks who could change where it leads.
#pragma once

#include <string>
#include <vector>

namespace nDRAVI100 {

// One thing met on the way.
struct tPathStep {
  // A directory passed through, or what the path ends at, by the path that
  // names it without any link; or, for a link, the link itself.
  std::string path;
  bool link = false;
  std::string target;    // what a link says
  bool missing = false;  // nothing is there, or it cannot be examined: the walk ended here
};

// Walks `path` as the kernel would open it: "/" first, then every directory
// on the way, every symbolic link met (followed, its target walked in turn),
// and last what the path ends at. A path inside `root`, the directory of a
// system image (see isInsideRoot), is walked as openInRoot resolves it: the
// root itself as the host sees it, and below it ".." and a link's absolute
// target stop at the root. A relative path starts at the working directory. The walk ends
// at a component that is missing or cannot be examined, and after 40 links.
[[nodiscard]] std::vector<tPathStep> walkPath(const std::string& path, const std::string& root);

// What the walk ended at: the last step that is not a link, followed by
// what was left unwalked when it stopped early.
[[nodiscard]] std::string resolvedPath(const std::string& path, const std::string& root);

// Where a run that reaches the file at `path` through its directory, as
// zembril reaches the files of a map directory, finds it: the directory as
// resolvedPath resolves it, and the file's own name, never followed.
[[nodiscard]] std::string resolvedFilePath(const std::string& path, const std::string& root);

}  // namespace nDRAVI100
