#include "dump/tLockCheck.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "cli/tFailure.h"
#include "dump/tLockHolders.h"
#include "dump/tMapFileSnapshot.h"
#include "os/tDirectory.h"
#include "os/tRegularFile.h"
#include "persistentStorage/tMapLock.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

namespace {

std::string describeProcess(const tLockProcess& process) {
  if (process.pid <= 0) return "a process outside this PID namespace";
  std::string text =
      "pid " + std::to_string(process.pid) + ": " +
      (process.commandLine.empty() ? std::string("(command line not shown)") : process.commandLine);
  if (process.takenBy != 0) {
    text += " (the lock was taken by pid " + std::to_string(process.takenBy) +
            (process.takerGone ? ", which has exited" : ", which passed it on") + ")";
  }
  return text;
}

}  // namespace

// Root runs the installers, so only a lock file that root alone can open
// keeps the lock with those who may change the map.
void checkLockFile(const std::string& path, const tDirectory& directory, bool steered,
                   tFindings& findings) {
  const tSubject subject{"lock-file", path, fileNameOf(path)};
  struct stat status {};
  // zembril never opens it through a link, so the link itself is what counts.
  if (::lstat(path.c_str(), &status) != 0) {
    if (isMissingFileError(errno)) {
      return findings.add(subject,
                          steered ? "not made yet; no run makes it while another user can "
                                    "change the way to it"
                                  : "not made yet; the next run by root makes it",
                          false);
    }
    return findings.add(subject, "cannot be examined (" + tFailure::ofErrno(errno).message() + ")",
                        false);
  }
  const std::string fault = S_ISREG(status.st_mode)
                                ? lockFileFault(status, 0)
                                : "not a regular file (" + fileKindOf(status.st_mode) + ")";
  if (fault.empty()) {
    std::array<char, 8> mode{};
    (void)std::snprintf(mode.data(), mode.size(), "%04o",
                        static_cast<unsigned>(status.st_mode & 07777));
    return findings.add(subject,
                        std::string("valid: mode ") + mode.data() + ", owned by uid " +
                            userName(status.st_uid) + ", so only its owner can hold the lock",
                        false);
  }
  // Judged as the lock judges it, for the runs of root that change the map.
  if (!steered && S_ISREG(status.st_mode) && replacesLockFile(status, directory, 0)) {
    return findings.add(subject,
                        fault +
                            ": the next run that takes the lock removes it and makes it afresh; "
                            "its other names keep the old file",
                        true);
  }
  findings.add(subject,
               fault + ", so zembril refuses it: runs that change the map fail with " +
                   errorText(nCode::kCannotOpen) + " until it is removed",
               true);
}

tResult<tFileLocks> checkLock(const std::string& path, tFindings& findings) {
  const tSubject subject{"lock", path, "lock"};
  tResult<tFileLocks> locks = findFileLocks(path);
  if (!locks) {
    findings.add(subject, "unknown: " + locks.failure().message(), false);
    return locks;
  }
  if (locks->holders.empty()) {
    findings.add(subject, "free", false);
    return locks;
  }
  std::string finding = "held by " + describeProcess(locks->holders.front());
  if (!locks->waiters.empty()) {
    finding += "; " + std::to_string(locks->waiters.size()) + " more waiting";
  }
  findings.add(subject, finding, false);
  return locks;
}

}  // namespace nDRAVI100
