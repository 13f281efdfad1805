#include "os/tTrustedWay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace nDRAVI100 {

std::deque<std::string> componentsOf(const std::string& path) {
  std::deque<std::string> components;
  for (std::string::size_type at = 0; at <= path.size();) {
    std::string::size_type end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) components.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return components;
}

namespace {

bool trusted(uid_t user) { return user == 0 || user == ::geteuid(); }

// The directories from "/" down to where the walk stands, each open, so
// that ".." climbs to the directory the walk came down from, as it does in
// the kernel; each with what fstat said of it when it was opened, which
// judges the next step without asking again.
class tWay {
 public:
  tWay() = default;
  tWay(const tWay&) = delete;
  tWay& operator=(const tWay&) = delete;
  ~tWay() {
    for (const tStep& step : steps) (void)::close(step.fd);
  }
  void push(int fd, std::string path, const struct stat& found) {
    steps.push_back({fd, std::move(path), found});
  }
  void climb(std::size_t keep) {
    while (steps.size() > keep) {
      (void)::close(steps.back().fd);
      steps.pop_back();
    }
  }
  [[nodiscard]] std::size_t size() const { return steps.size(); }
  [[nodiscard]] int fd() const { return steps.back().fd; }
  [[nodiscard]] const std::string& path() const { return steps.back().path; }
  [[nodiscard]] const struct stat& status() const { return steps.back().found; }
  int release() {
    const int last = steps.back().fd;
    steps.pop_back();
    return last;
  }

 private:
  struct tStep {
    int fd;
    std::string path;
    struct stat found;
  };
  std::vector<tStep> steps;
};

std::string shown(std::string_view path) {
  return path.empty() ? std::string("/") : std::string(path);
}

// Who, besides root and the caller, could change what the name looked up
// in `directory` (at `path`) leads to, and why; empty when no one.
// `found` is what the name led to, or null where it led nowhere.
std::string steererOfStep(std::string_view path, const struct stat& directory,
                          const struct stat* found) {
  // Whoever may change the directory decides what its name leads to, and a
  // missing name is one they could make.
  if (!trusted(directory.st_uid)) {
    return shown(path) + ": owned by uid " + std::to_string(directory.st_uid);
  }
  if ((directory.st_mode & S_IWOTH) != 0 &&
      !((directory.st_mode & S_ISVTX) != 0 && found != nullptr && trusted(found->st_uid))) {
    return shown(path) + ": writable by everyone";
  }
  return {};
}

// Who could change what is at the end of the way (at `path`); empty when
// no one.
std::string steererOfEnd(std::string_view path, const struct stat& end) {
  if (!trusted(end.st_uid)) return shown(path) + ": owned by uid " + std::to_string(end.st_uid);
  if ((end.st_mode & S_IWOTH) != 0 && !S_ISDIR(end.st_mode)) {
    return shown(path) + ": writable by everyone";
  }
  return {};
}

// The walk in openJudgingTheWay ties each step to the directory the step
// before opened: three system calls a component, some thirty in a run that
// judges the way to the directory file and to the map directory. Where the
// way holds no link, no "." or "..", and no directory on it that anyone but
// root and the caller may change, what each of its beginnings leads to
// changes by their hand alone; so each is stat'd by its name, one call a
// component, with the verdict the tied walk would give. Anything else (a
// link, a missing name, a way another user could steer) returns nothing,
// and the tied walk says exactly what it finds.
std::optional<tJudgedOpening> judgeUnsteeredWay(const std::string& path, bool judgeEnd,
                                                tWayEnd end) {
  if (!path.starts_with('/')) return std::nullopt;
  const std::deque<std::string> components = componentsOf(path);
  if (components.empty()) return std::nullopt;
  struct stat directory {};
  if (::stat("/", &directory) != 0) return std::nullopt;
  std::string walked;
  tJudgedOpening opening;
  for (std::size_t step = 0; step < components.size(); ++step) {
    const std::string& component = components[step];
    if (component == "." || component == "..") return std::nullopt;
    const std::size_t parentLength = walked.size();
    walked.append("/").append(component);
    const std::string_view parent = std::string_view(walked).substr(0, parentLength);
    const bool last = step + 1 == components.size();
    struct stat found {};
    if (last && end == tWayEnd::opened) {
      opening.fd = ::open(walked.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (opening.fd < 0) return std::nullopt;
      if (::fstat(opening.fd, &found) != 0) {
        (void)::close(opening.fd);
        return std::nullopt;
      }
    } else if (::fstatat(AT_FDCWD, walked.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
      return std::nullopt;
    }
    const bool steered = !steererOfStep(parent, directory, &found).empty() ||
                         S_ISLNK(found.st_mode) || (!last && !S_ISDIR(found.st_mode)) ||
                         (last && judgeEnd && !steererOfEnd(walked, found).empty());
    if (steered) {
      if (opening.fd >= 0) (void)::close(opening.fd);
      return std::nullopt;
    }
    directory = found;
  }
  opening.status = directory;
  return opening;
}

}  // namespace

tJudgedOpening openJudgingTheWay(const std::string& path, bool judgeEnd, tWayEnd end) {
  tJudgedOpening opening;
  auto fail = [&](int error) {
    opening.error = error;
    return opening;
  };
  auto note = [&](const std::string& why) {
    if (opening.steeredBy.empty()) opening.steeredBy = why;
  };
  if (std::optional<tJudgedOpening> quick = judgeUnsteeredWay(path, judgeEnd, end)) {
    return *std::move(quick);
  }
  std::string absolute = path;
  if (!path.starts_with('/')) {
    char directory[PATH_MAX];
    if (::getcwd(directory, sizeof directory) == nullptr) return fail(errno);
    absolute = std::string(directory) + "/" + path;
  }
  tWay way;
  const int top = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return fail(errno);
  struct stat root {};
  if (::fstat(top, &root) != 0) {
    const int error = errno;
    (void)::close(top);
    return fail(error);
  }
  way.push(top, "", root);
  std::deque<std::string> rest = componentsOf(absolute);
  int links = 0;
  while (!rest.empty()) {
    const std::string component = std::move(rest.front());
    rest.pop_front();
    if (component == ".") continue;
    if (component == "..") {
      way.climb(std::max<std::size_t>(way.size() - 1, 1));
      continue;
    }
    const struct stat directory = way.status();
    const std::string next = way.path() + "/" + component;
    const int fd = ::openat(way.fd(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    const int openError = errno;
    struct stat found {};
    const bool present = fd >= 0 && ::fstat(fd, &found) == 0;
    note(steererOfStep(way.path(), directory, present ? &found : nullptr));
    if (!present) {
      const int error = fd < 0 ? openError : errno;
      if (fd >= 0) (void)::close(fd);
      return fail(error);
    }
    if (S_ISLNK(found.st_mode)) {
      if (!trusted(found.st_uid)) {
        note(next + ": a link owned by uid " + std::to_string(found.st_uid));
      }
      char target[PATH_MAX];
      const ssize_t length = ::readlinkat(fd, "", target, sizeof target);
      const int readError = errno;
      (void)::close(fd);
      if (length < 0) return fail(readError);
      if (++links > kMostLinksOnAPath) return fail(ELOOP);
      const std::string said(target, static_cast<std::size_t>(length));
      std::deque<std::string> followed = componentsOf(said);
      rest.insert(rest.begin(), followed.begin(), followed.end());
      if (said.starts_with('/')) way.climb(1);
      continue;
    }
    if (!rest.empty() && !S_ISDIR(found.st_mode)) {
      (void)::close(fd);
      return fail(ENOTDIR);
    }
    way.push(fd, next, found);
  }
  opening.status = way.status();
  if (judgeEnd) note(steererOfEnd(way.path(), opening.status));
  opening.fd = way.release();
  return opening;
}

}  // namespace nDRAVI100
