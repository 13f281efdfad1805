#include "dump/tPathWalk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <deque>

#include "os/tRoot.h"
#include "os/tTrustedWay.h"

namespace nDRAVI100 {

namespace {

std::string shownPath(const std::string& directory) {
  return directory.empty() ? std::string("/") : directory;
}

// Walks `rest` from the directory `current` (without a trailing '/', empty
// for "/"), which ".." and absolute links do not climb above `floor`.
// Returns where the walk ended, with what was left of `rest` appended.
std::string walkFrom(std::string current, const std::string& floor, std::deque<std::string> rest,
                     std::vector<tPathStep>& steps) {
  int links = 0;
  while (!rest.empty()) {
    const std::string component = rest.front();
    rest.pop_front();
    if (component == ".") continue;
    if (component == "..") {
      if (current.size() > floor.size()) current.erase(current.rfind('/'));
      continue;
    }
    std::string next = current;
    next += '/';
    next += component;
    struct stat found {};
    if (::lstat(next.c_str(), &found) != 0) {
      steps.push_back({next, false, "", true});
      std::string left = next;
      for (const std::string& more : rest) left += "/" + more;
      return left;
    }
    if (!S_ISLNK(found.st_mode)) {
      current = next;
      steps.push_back({next, false, "", false});
      continue;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlink(next.c_str(), target, sizeof target);
    if (length < 0 || ++links > kMostLinksOnAPath) {
      steps.push_back({next, true, "", true});
      return next;
    }
    const std::string said(target, static_cast<std::size_t>(length));
    steps.push_back({next, true, said, false});
    std::deque<std::string> followed = componentsOf(said);
    rest.insert(rest.begin(), followed.begin(), followed.end());
    if (said.starts_with('/')) current = floor;
  }
  return shownPath(current);
}

std::string walk(const std::string& path, const std::string& root, std::vector<tPathStep>& steps) {
  steps.push_back({"/", false, "", false});
  if (isInsideRoot(root, path)) {
    // The root as the host resolves it; below it, as a chroot would.
    std::string floor = walkFrom("", "", componentsOf(root), steps);
    if (!steps.empty() && steps.back().missing) return path;
    if (floor == "/") floor.clear();
    return walkFrom(floor, floor, componentsOf(path.substr(root.size())), steps);
  }
  if (path.starts_with('/')) return walkFrom("", "", componentsOf(path), steps);
  // Relative to the working directory, whose own way from "/" counts too.
  char directory[PATH_MAX];
  if (::getcwd(directory, sizeof directory) == nullptr) return path;
  return walkFrom("", "", componentsOf(std::string(directory) + "/" + path), steps);
}

}  // namespace

std::vector<tPathStep> walkPath(const std::string& path, const std::string& root) {
  std::vector<tPathStep> steps;
  (void)walk(path, root, steps);
  return steps;
}

std::string resolvedPath(const std::string& path, const std::string& root) {
  std::vector<tPathStep> steps;
  return walk(path, root, steps);
}

std::string resolvedFilePath(const std::string& path, const std::string& root) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return path;
  return resolvedPath(path.substr(0, slash), root) + path.substr(slash);
}

}  // namespace nDRAVI100
