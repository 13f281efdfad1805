#include "os/tTrustedWay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
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

std::string shown(const std::string& path) { return path.empty() ? std::string("/") : path; }

}  // namespace

tJudgedOpening openJudgingTheWay(const std::string& path, bool judgeEnd) {
  tJudgedOpening opening;
  auto fail = [&](int error) {
    opening.error = error;
    return opening;
  };
  auto note = [&](const std::string& why) {
    if (opening.steeredBy.empty()) opening.steeredBy = why;
  };
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
    // Whoever may change the directory decides what its name leads to,
    // and a missing name is one they could make.
    if (!trusted(directory.st_uid)) {
      note(shown(way.path()) + ": owned by uid " + std::to_string(directory.st_uid));
    } else if ((directory.st_mode & S_IWOTH) != 0 &&
               !((directory.st_mode & S_ISVTX) != 0 && present && trusted(found.st_uid))) {
      note(shown(way.path()) + ": writable by everyone");
    }
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
  if (judgeEnd) {
    const struct stat& end = opening.status;
    if (!trusted(end.st_uid)) {
      note(shown(way.path()) + ": owned by uid " + std::to_string(end.st_uid));
    } else if ((end.st_mode & S_IWOTH) != 0 && !S_ISDIR(end.st_mode)) {
      note(shown(way.path()) + ": writable by everyone");
    }
  }
  opening.fd = way.release();
  return opening;
}

}  // namespace nDRAVI100
