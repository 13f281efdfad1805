#include "dump/tSetupCheck.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "dump/tDirectoryLockHolders.h"
#include "dump/tMapFileSnapshot.h"
#include "dump/tTextEscaping.h"
#include "persistentStorage/tFileSystemAdapter.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tReplacementFile.h"

namespace nDRAVI100 {

namespace {

// The findings, printed once all are known so that the labels line up.
class tFindings {
 public:
  void add(std::string label, std::string finding, bool needsAttention) {
    lines.push_back({std::move(label), std::move(finding)});
    if (needsAttention) ++problems;
  }

  bool healthy() const { return problems == 0; }

  void write(std::FILE* out) const {
    std::size_t width = std::string_view("summary").size();
    for (const auto& line : lines) width = std::max(width, line.label.size());
    const auto writeLine = [&](const std::string& label, const std::string& finding) {
      const std::string text = label + std::string(width + 2 - label.size(), ' ') + finding + '\n';
      (void)std::fwrite(text.data(), 1, text.size(), out);
    };
    for (const auto& line : lines) writeLine(line.label, line.finding);
    writeLine("summary", problems == 0 ? std::string("healthy")
                                       : std::to_string(problems) +
                                             (problems == 1 ? " thing needs" : " things need") +
                                             " attention");
  }

 private:
  struct tLine {
    std::string label;
    std::string finding;
  };
  std::vector<tLine> lines;
  int problems = 0;
};

std::string shown(const std::string& path) { return escapeForText(path); }

std::string systemMessage(int error) { return std::strerror(error); }

std::string countsOf(const tMapFileSnapshot& snapshot) {
  return std::to_string(snapshot.uMap.size()) + " U and " + std::to_string(snapshot.kMap.size()) +
         " K bindings";
}

std::string damageOf(const tMapFileSnapshot& snapshot) {
  return snapshot.scan.problem + " at offset " + std::to_string(snapshot.scan.offset);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void checkDirectoryFile(const tFileSystemAdapter::tMapDirectoryLookup& lookup,
                        tFindings& findings) {
  using enum tFileSystemAdapter::tDirectorySource;
  const std::string path = shown(tFileSystemAdapter::directoryFilePath()) + ": ";
  const std::string fallback = ", so zembril uses the fallback map directory";
  switch (lookup.source) {
    case directoryFile: {
      // Each run resolves a relative path against its own working directory,
      // so installers started from different places use different maps.
      const bool relative = lookup.firstLine.front() != '/';
      return findings.add("directory file",
                          path + "its first line \"" + escapeForText(lookup.firstLine) +
                              "\" names the map directory" +
                              (relative ? ", relative to the working directory of each run" : ""),
                          relative);
    }
    case noDirectoryFile:
      if (lookup.error == ENOENT || lookup.error == ENOTDIR) {
        return findings.add("directory file", path + "absent" + fallback, false);
      }
      return findings.add(
          "directory file",
          path + "cannot be opened (" + systemMessage(lookup.error) + ")" + fallback, true);
    case unreadableFile:
      return findings.add("directory file",
                          path + "cannot be read (" + systemMessage(lookup.error) + ")" + fallback,
                          true);
    case notRegularFile:
      return findings.add("directory file", path + "not a regular file" + fallback, true);
    case emptyFile:
      return findings.add("directory file", path + "empty" + fallback, true);
    case emptyFirstLine:
      return findings.add("directory file", path + "its first line names no directory" + fallback,
                          true);
  }
}

void checkMapDirectory(const std::string& directory, tFindings& findings) {
  const std::string path = shown(directory) + ": ";
  const std::string consequence = ": runs that change the map fail with -50204";
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    const int error = errno;
    return findings.add(
        "map directory",
        path +
            (error == ENOENT ? std::string("missing")
                             : "cannot be examined (" + systemMessage(error) + ")") +
            consequence,
        true);
  }
  if (!S_ISDIR(status.st_mode)) {
    return findings.add("map directory", path + "not a directory" + consequence, true);
  }
  if (::access(directory.c_str(), W_OK | X_OK) != 0) {
    return findings.add("map directory",
                        path + "exists, not writable (" + systemMessage(errno) + ")" + consequence,
                        true);
  }
  findings.add("map directory", path + "exists, writable", false);
}

std::string describeProcess(const tLockProcess& process) {
  if (process.pid <= 0) return "a process outside this PID namespace";
  return "pid " + std::to_string(process.pid) + ": " +
         (process.commandLine.empty() ? std::string("(command line not shown)")
                                      : process.commandLine);
}

// Returns true when a run holds the lock right now.
bool checkLock(const std::string& directory, tFindings& findings) {
  const tDirectoryLocks locks = findDirectoryLocks(directory);
  if (!locks.known) {
    findings.add("lock", "unknown: " + systemMessage(locks.error), false);
    return false;
  }
  if (locks.holders.empty()) {
    findings.add("lock", "free", false);
    return false;
  }
  std::string finding = "held by " + describeProcess(locks.holders.front());
  if (!locks.waiters.empty()) {
    finding += "; " + std::to_string(locks.waiters.size()) + " more waiting";
  }
  findings.add("lock", finding, false);
  return true;
}

void checkMapFile(const std::string& path, bool lockHeld, tFindings& findings) {
  const tMapFileSnapshot map = readMapFileSnapshot(path);
  const std::string temporaryPath = tReplacementFile::temporaryPathFor(path);
  const tMapFileSnapshot temporary = readMapFileSnapshot(temporaryPath);
  const std::string damagedPath = damagedPathFor(path);
  const tMapFileSnapshot damaged = readMapFileSnapshot(damagedPath);
  const std::string name = baseName(path);

  switch (map.state) {
    case tSnapshotState::absent:
      findings.add(name, "absent: an empty map", false);
      break;
    case tSnapshotState::cannotOpen:
      findings.add(name,
                   "cannot be opened (" + systemMessage(map.error) +
                       "): runs of this bitness fail with -50204",
                   true);
      break;
    case tSnapshotState::readFailed:
      findings.add(name,
                   "cannot be read (" + systemMessage(map.error) +
                       "): runs of this bitness fail with -50207",
                   true);
      break;
    case tSnapshotState::whole: {
      std::string finding = "valid: " + countsOf(map) + ", " + std::to_string(map.size) + " bytes";
      if (map.size > map.scan.offset) {
        finding += "; the " + std::to_string(map.size - map.scan.offset) +
                   " bytes after its end are never read";
      }
      findings.add(name, finding, false);
      break;
    }
    case tSnapshotState::damaged:
      findings.add(
          name,
          "damaged: " + damageOf(map) + " (" + countsOf(map) + " before it); the next run " +
              (temporary.state == tSnapshotState::whole
                   ? "recovers the maps from " + baseName(temporaryPath)
                   : "keeps it as " + baseName(damagedPath) + " and starts from empty maps"),
          true);
      break;
  }

  if (temporary.state != tSnapshotState::absent) {
    std::string finding;
    if (temporary.state == tSnapshotState::whole) {
      finding = "complete (" + countsOf(temporary) + "), left by a run that did not finish: " +
                (map.state == tSnapshotState::damaged ? "the next run recovers the maps from it"
                                                      : "the next run removes it");
    } else if (temporary.state == tSnapshotState::damaged) {
      finding = "partial (" + damageOf(temporary) +
                "), left by a run that did not finish: the next run removes it";
    } else {
      finding = "cannot be read (" + systemMessage(temporary.error) + ")";
    }
    // While a run holds the lock the file may be that run's, still being written.
    if (lockHeld) finding += "; a run holds the lock and may be writing it";
    findings.add(baseName(temporaryPath), finding, !lockHeld);
  }

  if (damaged.state != tSnapshotState::absent) {
    std::string finding;
    if (damaged.state == tSnapshotState::cannotOpen ||
        damaged.state == tSnapshotState::readFailed) {
      finding = "cannot be read (" + systemMessage(damaged.error) + ")";
    } else {
      finding = "kept from a damaged map file: " + countsOf(damaged) + " readable" +
                (damaged.state == tSnapshotState::damaged
                     ? " before offset " + std::to_string(damaged.scan.offset) + " (" +
                           damaged.scan.problem + ")"
                     : "") +
                "; zembril-dump --salvage prints them";
    }
    findings.add(baseName(damagedPath), finding, true);
  }
}

std::string userName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return std::to_string(uid) + (entry != nullptr ? std::string(" (") + entry->pw_name + ")" : "");
}

std::string groupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return std::to_string(gid) + (entry != nullptr ? std::string(" (") + entry->gr_name + ")" : "");
}

// Warns when anyone but root can change `path`: whoever can decides what
// root's installers bind.
void checkWriters(const std::string& path, tFindings& findings) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;
  std::vector<std::string> writers;
  if (status.st_uid != 0) writers.push_back("its owner, uid " + userName(status.st_uid));
  if ((status.st_mode & S_IWGRP) != 0) writers.push_back("group " + groupName(status.st_gid));
  if ((status.st_mode & S_IWOTH) != 0) writers.push_back("everyone");
  if (writers.empty()) return;
  std::string who;
  for (const std::string& writer : writers) who += (who.empty() ? "" : ", ") + writer;
  findings.add(
      "unsafe",
      shown(path) + ": writable by " + who + ", who can then decide what root's installers bind",
      true);
}

}  // namespace

bool checkSetup(std::FILE* out) {
  tFindings findings;
  const tFileSystemAdapter::tMapDirectoryLookup lookup = tFileSystemAdapter::lookUpMapDirectory();
  checkDirectoryFile(lookup, findings);
  checkMapDirectory(lookup.directory, findings);
  const bool lockHeld = checkLock(lookup.directory, findings);
  for (const bool is64Bit : {false, true}) {
    checkMapFile(mapFilePathIn(lookup.directory, is64Bit), lockHeld, findings);
  }
  checkWriters(tFileSystemAdapter::directoryFilePath(), findings);
  checkWriters(lookup.directory, findings);
  for (const bool is64Bit : {false, true}) {
    checkWriters(mapFilePathIn(lookup.directory, is64Bit), findings);
  }
  findings.write(out);
  return findings.healthy();
}

}  // namespace nDRAVI100
