#include "persistentStorage/tReplacementFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "persistentStorage/tMapFile.h"

namespace nDRAVI100 {

namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;

}  // namespace

std::string tReplacementFile::temporaryPathFor(const std::string& target) {
  return target + ".tmp";
}

void tReplacementFile::syncParentDirectory(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  (void)::close(fd);
}

tReplacementFile::tReplacementFile(const std::string& target, tStatus& status)
    : targetPath(target), temporaryPath(temporaryPathFor(target)) {
  if (isError(status)) return;
  // Only a killed run leaves this name behind; it holds nothing we need.
  (void)::unlink(temporaryPath.c_str());

  struct stat existing {};
  const bool hasTarget = ::stat(targetPath.c_str(), &existing) == 0;
  const int fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kNewFileMode);
  if (fd < 0) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  created = true;
  // open() applied the umask; the replacement must keep the target's bits.
  if (hasTarget && ::fchmod(fd, existing.st_mode & kPermissionBits) != 0) {
    (void)::close(fd);
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    (void)::close(fd);
    raiseError(status, nCode::kCannotOpen);
  }
}

tReplacementFile::~tReplacementFile() {
  if (file != nullptr) (void)std::fclose(file);
  if (created && !settled) (void)::unlink(temporaryPath.c_str());
}

void tReplacementFile::finishWriting(tStatus& status) {
  if (file == nullptr) return;
  if (!isError(status) && (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0)) {
    raiseError(status, nCode::kCannotWrite);
  }
  std::FILE* closing = file;
  file = nullptr;
  if (std::fclose(closing) != 0) raiseError(status, nCode::kCannotClose);
}

void tReplacementFile::commit(tStatus& status) {
  if (isError(status) || !created || file != nullptr) return;
  if (std::rename(temporaryPath.c_str(), targetPath.c_str()) == 0) {
    settled = true;
    syncParentDirectory(targetPath);
    return;
  }
  copyFile(temporaryPath, targetPath, status);
  settled = true;
  if (isError(status)) return;  // keep the only complete copy of the new content
  if (std::remove(temporaryPath.c_str()) != 0) raiseWarning(status, nCode::kTemporaryFileLeft);
  syncParentDirectory(targetPath);
}

}  // namespace nDRAVI100
