#include "os/tDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "os/tRoot.h"
#include "os/tTrustedWay.h"

namespace nDRAVI100 {

tDirectory::~tDirectory() {
  if (fd >= 0) (void)::close(fd);
}

tDirectory::tDirectory(tDirectory&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      openError(other.openError),
      directoryPath(std::move(other.directoryPath)),
      judged(other.judged),
      steered(std::move(other.steered)) {}

tDirectory& tDirectory::operator=(tDirectory&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) (void)::close(fd);
    fd = std::exchange(other.fd, -1);
    openError = other.openError;
    directoryPath = std::move(other.directoryPath);
    judged = other.judged;
    steered = std::move(other.steered);
  }
  return *this;
}

tDirectory tDirectory::open(const std::string& path, const std::string& root) {
  tDirectory directory;
  directory.directoryPath = path;
  if (path.empty()) return directory;
  if (!root.empty()) {
    directory.fd = openInRoot(root, path, O_PATH | O_DIRECTORY);
    directory.openError = directory.fd < 0 ? errno : 0;
    return directory;
  }
  tJudgedOpening opening = openJudgingTheWay(path, false);
  directory.judged = true;
  directory.steered = std::move(opening.steeredBy);
  if (opening.fd >= 0 && !S_ISDIR(opening.status.st_mode)) {
    opening.error = ENOTDIR;
    (void)::close(std::exchange(opening.fd, -1));
  }
  directory.fd = opening.fd;
  directory.openError = opening.error;
  return directory;
}

tDirectory tDirectory::holding(const std::string& filePath, const std::string& root) {
  const std::string::size_type slash = filePath.rfind('/');
  if (slash == std::string::npos) return open(".", root);
  return open(filePath.substr(0, slash == 0 ? 1 : slash), root);
}

std::string tDirectory::pathOf(const std::string& name) const {
  if (directoryPath.empty() || directoryPath.ends_with('/')) return directoryPath + name;
  return directoryPath + "/" + name;
}

tRegularFile tDirectory::openFile(const std::string& name, int access) const {
  if (fd < 0) {
    return tRegularFile::open(
        [this](int, struct stat&) {
          errno = openError;
          return -1;
        },
        access);
  }
  return tRegularFile::openAt(fd, name, access,
                              judged && steered.empty() ? tRegularFile::tReopening::byName
                                                        : tRegularFile::tReopening::asLocated);
}

int tDirectory::statFile(const std::string& name, struct stat& found) const {
  if (fd < 0) return openError;
  return ::fstatat(fd, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

void tDirectory::sync() const {
  if (fd < 0) return;
  // An O_PATH descriptor cannot be synced; the directory it holds can.
  const int readable = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable < 0) return;
  (void)::fsync(readable);
  (void)::close(readable);
}

std::string fileNameOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace nDRAVI100
