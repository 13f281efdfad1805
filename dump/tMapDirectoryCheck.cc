#include "dump/tMapDirectoryCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/tFailure.h"
#include "cli/tTextEscaping.h"
#include "dump/tMapFileSnapshot.h"
#include "dump/tPathWalk.h"
#include "os/tRegularFile.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

void checkDirectoryFile(const tMapPaths& paths, const tMapDirectoryLookup& lookup,
                        tFindings& findings) {
  using enum tDirectorySource;
  const std::string path = escapeForText(paths.directoryFile()) + ": ";
  const std::string fallback = ", so zembril uses the fallback map directory";
  const tSubject subject{"directory-file", paths.directoryFile(), "directory file"};
  switch (lookup.source) {
    case directoryFile: {
      // Each run resolves a relative path against its own working directory,
      // so installers started from different places use different maps. In
      // an image the root stands in, until the image runs.
      const bool relative = lookup.firstLine.front() != '/';
      const char* const base = paths.root().empty()
                                   ? ", relative to the working directory of each run"
                                   : ", relative to the root, and to the working directory of "
                                     "each run once the image runs";
      return findings.add(subject,
                          path + "its first line \"" + escapeForText(lookup.firstLine) +
                              "\" names the map directory" + (relative ? base : ""),
                          relative);
    }
    case noDirectoryFile:
      if (isMissingFileError(lookup.error)) {
        return findings.add(subject, path + "absent" + fallback, false);
      }
      return findings.add(
          subject,
          path + "cannot be opened (" + tFailure::ofErrno(lookup.error).message() + ")" + fallback,
          true);
    case unreadableFile:
      return findings.add(
          subject,
          path + "cannot be read (" + tFailure::ofErrno(lookup.error).message() + ")" + fallback,
          true);
    case notRegularFile: {
      struct stat status {};
      const bool known =
          ::stat(resolvedPath(paths.directoryFile(), paths.root()).c_str(), &status) == 0 &&
          !S_ISREG(status.st_mode);
      return findings.add(subject,
                          path + "not a regular file" +
                              (known ? " (" + fileKindOf(status.st_mode) + ")" : "") + fallback,
                          true);
    }
    case emptyFile:
      return findings.add(subject, path + "empty" + fallback, true);
    case emptyFirstLine:
      return findings.add(subject, path + "its first line names no directory" + fallback, true);
  }
}

void checkMapDirectory(const std::string& named, const std::string& directory,
                       tFindings& findings) {
  const std::string path =
      escapeForText(named) +
      (named == directory ? "" : " (resolved: " + escapeForText(directory) + ")") + ": ";
  const std::string consequence =
      ": runs that change the map fail with " + errorText(nCode::kCannotOpen);
  const tSubject subject{"map-directory", directory, "map directory"};
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    const int error = errno;
    return findings.add(
        subject,
        path +
            (error == ENOENT ? std::string("missing")
                             : "cannot be examined (" + tFailure::ofErrno(error).message() + ")") +
            consequence,
        true);
  }
  if (!S_ISDIR(status.st_mode)) {
    return findings.add(subject, path + "not a directory" + consequence, true);
  }
  if (::access(directory.c_str(), W_OK | X_OK) != 0) {
    return findings.add(
        subject,
        path + "exists, not writable (" + tFailure::ofErrno(errno).message() + ")" + consequence,
        true);
  }
  findings.add(subject, path + "exists, writable", false);
}

void checkWay(const std::string& path, const std::string& steeredBy, tFindings& findings) {
  if (steeredBy.empty()) return;
  findings.add({"way", path, "way"},
               escapeForText(path) + ": zembril does not trust the way to it (" +
                   escapeForText(steeredBy) +
                   "), so it takes no lock: runs that change the map fail with " +
                   errorText(nCode::kCannotOpen),
               true);
}

}  // namespace nDRAVI100
