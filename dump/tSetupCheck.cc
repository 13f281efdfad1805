#include "dump/tSetupCheck.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dump/tLockHolders.h"
#include "dump/tMapFileSnapshot.h"
#include "dump/tPathWalk.h"
#include "dump/tTextEscaping.h"
#include "os/tRegularFile.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tMapLock.h"
#include "persistentStorage/tMapPaths.h"
#include "persistentStorage/tRecoveryPlan.h"
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

// Why a snapshot shows no bindings, for the states in which it shows none.
std::string troubleOf(const tMapFileSnapshot& snapshot) {
  switch (snapshot.state) {
    case tMapFileState::cannotOpen:
      return "cannot be opened (" + systemMessage(snapshot.error) + ")";
    case tMapFileState::notRegular:
      return "not a regular file (" + fileKindOf(snapshot.mode) + ")";
    case tMapFileState::unsettled:
      return "changed while it was read, on each of " + std::to_string(kMapFileReadAttempts) +
             " reads";
    case tMapFileState::copyUnfinished:
      return "a copy into it began and did not finish";
    default:
      return "cannot be read (" + systemMessage(snapshot.error) + ")";
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

void checkDirectoryFile(const tMapPaths& paths, const tMapDirectoryLookup& lookup,
                        tFindings& findings) {
  using enum tDirectorySource;
  const std::string path = shown(paths.directoryFile()) + ": ";
  const std::string fallback = ", so zembril uses the fallback map directory";
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
      return findings.add("directory file",
                          path + "its first line \"" + escapeForText(lookup.firstLine) +
                              "\" names the map directory" + (relative ? base : ""),
                          relative);
    }
    case noDirectoryFile:
      if (isMissingFileError(lookup.error)) {
        return findings.add("directory file", path + "absent" + fallback, false);
      }
      return findings.add(
          "directory file",
          path + "cannot be opened (" + systemMessage(lookup.error) + ")" + fallback, true);
    case unreadableFile:
      return findings.add("directory file",
                          path + "cannot be read (" + systemMessage(lookup.error) + ")" + fallback,
                          true);
    case notRegularFile: {
      struct stat status {};
      const bool known =
          ::stat(resolvedPath(paths.directoryFile(), paths.root()).c_str(), &status) == 0 &&
          !S_ISREG(status.st_mode);
      return findings.add("directory file",
                          path + "not a regular file" +
                              (known ? " (" + fileKindOf(status.st_mode) + ")" : "") + fallback,
                          true);
    }
    case emptyFile:
      return findings.add("directory file", path + "empty" + fallback, true);
    case emptyFirstLine:
      return findings.add("directory file", path + "its first line names no directory" + fallback,
                          true);
  }
}

void checkMapDirectory(const std::string& named, const std::string& directory,
                       tFindings& findings) {
  const std::string path =
      shown(named) + (named == directory ? "" : " (resolved: " + shown(directory) + ")") + ": ";
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
  std::string text =
      "pid " + std::to_string(process.pid) + ": " +
      (process.commandLine.empty() ? std::string("(command line not shown)") : process.commandLine);
  if (process.takenBy != 0) {
    text += " (the lock was taken by pid " + std::to_string(process.takenBy) +
            (process.takerGone ? ", which has exited" : ", which passed it on") + ")";
  }
  return text;
}

// Root runs the installers, so only a lock file that root alone can open
// keeps the lock with those who may change the map.
void checkLockFile(const std::string& directory, tFindings& findings) {
  const std::string path = directory + "/" + tMapPaths::lockFileName();
  const std::string label = baseName(path);
  struct stat status {};
  // zembril never opens it through a link, so the link itself is what counts.
  if (::lstat(path.c_str(), &status) != 0) {
    if (isMissingFileError(errno)) {
      return findings.add(label, "not made yet; the next run by root makes it", false);
    }
    return findings.add(label, "cannot be examined (" + systemMessage(errno) + ")", false);
  }
  const std::string fault = S_ISREG(status.st_mode)
                                ? lockFileFault(status, 0)
                                : "not a regular file (" + fileKindOf(status.st_mode) + ")";
  if (fault.empty()) {
    std::array<char, 8> mode{};
    (void)std::snprintf(mode.data(), mode.size(), "%04o",
                        static_cast<unsigned>(status.st_mode & 07777));
    return findings.add(label,
                        std::string("valid: mode ") + mode.data() + ", owned by uid " +
                            userName(status.st_uid) + ", so only its owner can hold the lock",
                        false);
  }
  findings.add(label,
               fault +
                   ", so zembril refuses it: runs that change the map fail with -50204 "
                   "until it is removed",
               true);
}

// Returns true when a run holds the lock right now.
bool checkLock(const std::string& directory, tFindings& findings) {
  const tFileLocks locks = findFileLocks(directory + "/" + tMapPaths::lockFileName());
  if (!locks.known) {
    findings.add("lock",
                 "unknown: " + (locks.error == ETIMEDOUT
                                    ? std::string("/proc/locks, which lists every lock on the "
                                                  "system, took too long to read")
                                    : systemMessage(locks.error)),
                 false);
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

// The kept copies of damaged map files at `path`, by their number.
std::vector<std::string> keptCopiesOf(const std::string& path) {
  std::vector<std::pair<int, std::string>> found;
  const std::string directory = path.substr(0, path.rfind('/'));
  const std::string prefix = baseName(tMapPaths::damagedNameFor(path));
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == prefix) {
        found.emplace_back(0, name);
      } else if (name.starts_with(prefix + ".") && name.size() > prefix.size() + 1 &&
                 name.size() < prefix.size() + 10 &&
                 name.find_first_not_of("0123456789", prefix.size() + 1) == std::string::npos &&
                 name[prefix.size() + 1] != '0') {
        found.emplace_back(std::stoi(name.substr(prefix.size() + 1)), name);
      }
    }
    (void)::closedir(listing);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  names.reserve(found.size());
  for (const auto& [n, name] : found) {
    names.push_back(directory + '/');
    names.back() += name;
  }
  return names;
}

// The name that the next damaged file at `path` is kept under.
std::string nextKeptName(const std::string& path) {
  struct stat ignored {};
  int n = 0;
  while (::lstat(tMapPaths::damagedNameFor(path, n).c_str(), &ignored) == 0) ++n;
  return baseName(tMapPaths::damagedNameFor(path, n));
}

// What the next run that takes the lock does, in words, from the plan that
// it carries out.
std::string planInWords(const tRecoveryPlan& plan, const tMapFileRead& map,
                        const std::string& path) {
  const std::string temporary = baseName(tMapPaths::temporaryNameFor(path));
  std::string words = "the next run that takes the lock ";
  switch (plan.map) {
    case tMapAction::keep:
      words += "removes " + temporary + " and never reads it";
      return words;
    case tMapAction::finishCopy:
      return words + "finishes the copy from " + temporary + " and uses its maps";
    case tMapAction::setAside:
      words += "keeps it as " + nextKeptName(path) + " and starts from empty maps";
      break;
    case tMapAction::fail:
      return "runs fail with " + std::to_string(map.code) + " and change nothing";
  }
  if (plan.removeTemporaryFile) words += "; it removes " + temporary + " and never reads it";
  return words;
}

void checkMapFile(const std::string& path, const std::string& root, bool lockHeld,
                  tFindings& findings) {
  const tMapFileSnapshot map = readMapFileSnapshot(path, true, lockHeld, root);
  const std::string temporaryPath = tMapPaths::temporaryNameFor(path);
  // zembril takes only a regular file at this name for its own: a link there
  // reads as one that is not.
  const tMapFileSnapshot temporary = readMapFileSnapshot(temporaryPath, true, true, root);
  tClassNameMap scratchFirst;
  tClassNameMap scratchSecond;
  // The very plan that the next holder of the lock carries out.
  const tRecoveryPlan plan =
      planRecovery(map.state, examineTemporaryFile(tDirectory::holding(path, root), baseName(path),
                                                   map, scratchFirst, &scratchSecond)
                                  .state);
  const std::string name = baseName(path);
  // Only a run that holds the lock writes these files, and while it does
  // they may be caught half written.
  const std::string writing = lockHeld ? "; a run holds the lock and may be writing it" : "";

  switch (map.state) {
    case tMapFileState::absent:
      findings.add(name, "absent: an empty map", false);
      break;
    case tMapFileState::cannotOpen:
      findings.add(name, troubleOf(map) + ": runs of this bitness fail with -50204", true);
      break;
    case tMapFileState::readFailed:
      findings.add(name, troubleOf(map) + ": runs of this bitness fail with -50207", true);
      break;
    case tMapFileState::notRegular:
      findings.add(name,
                   troubleOf(map) +
                       ": runs of this bitness fail with -50207 and change nothing; it is never "
                       "set aside",
                   true);
      break;
    case tMapFileState::unsettled:
      findings.add(name, troubleOf(map) + writing, !lockHeld);
      break;
    case tMapFileState::whole: {
      std::string finding = "valid: " + countsOf(map) + ", " + std::to_string(map.size) + " bytes";
      if (map.size > map.scan.offset) {
        finding += "; the " + std::to_string(map.size - map.scan.offset) +
                   " bytes after its end hold no binding, and the next run that takes the lock "
                   "drops them";
      }
      findings.add(name, finding, false);
      break;
    }
    case tMapFileState::copyUnfinished:
      findings.add(
          name,
          "a copy into it began and did not finish; " + planInWords(plan, map, path) + writing,
          !lockHeld);
      break;
    case tMapFileState::damaged:
      findings.add(name,
                   "damaged: " + damageOf(map) + " (" + countsOf(map) + " before it); " +
                       planInWords(plan, map, path),
                   true);
      break;
  }

  if (temporary.state != tMapFileState::absent) {
    const std::string leftBehind = "left by a run that did not finish: ";
    std::string finding;
    bool needsAttention = !lockHeld;
    switch (temporary.state) {
      case tMapFileState::whole:
        finding = "complete (" + countsOf(temporary) + ")";
        break;
      case tMapFileState::damaged:
        finding = "partial (" + damageOf(temporary) + ")";
        break;
      case tMapFileState::notRegular:
        // No run makes one, so it needs attention whoever holds the lock.
        finding = troubleOf(temporary) + ", which no run makes";
        needsAttention = true;
        break;
      default:
        finding = troubleOf(temporary);
        break;
    }
    if (plan.map == tMapAction::finishCopy) {
      finding += ", the source of the copy into " + name + ": " + planInWords(plan, map, path);
    } else if (plan.removeTemporaryFile) {
      const bool notRegular = temporary.state == tMapFileState::notRegular;
      finding += (notRegular ? ": " : ", " + leftBehind) +
                 "the next run that takes the lock removes it" +
                 (notRegular && S_ISDIR(temporary.mode)
                      ? " if it can; runs that change the map fail with -50204 until it is removed"
                      : " and never reads it");
    }
    findings.add(baseName(temporaryPath), finding + writing, needsAttention);
  }

  for (const std::string& keptPath : keptCopiesOf(path)) {
    const tMapFileSnapshot kept = readMapFileSnapshot(keptPath, true, true, root);
    std::string finding;
    if (kept.state == tMapFileState::whole || kept.state == tMapFileState::damaged) {
      finding = "kept from a damaged map file: " + countsOf(kept) + " readable" +
                (kept.state == tMapFileState::damaged
                     ? " before offset " + std::to_string(kept.scan.offset) + " (" +
                           kept.scan.problem + ")"
                     : "") +
                "; zembril-dump --salvage " + shown(keptPath) + " prints them";
    } else if (kept.state == tMapFileState::notRegular) {
      finding = troubleOf(kept) + ", which zembril never makes: nothing in it can be salvaged";
    } else {
      finding = troubleOf(kept);
    }
    findings.add(baseName(keptPath), finding, true);
  }
}

// Warns when anyone but root can change `path`: whoever can decides what
// root's installers bind. In a sticky directory others may add names but
// not replace root's, so there only its owner counts.
void checkWriters(const std::string& path, tFindings& findings) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;
  const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
  std::vector<std::string> writers;
  if (status.st_uid != 0) writers.push_back("its owner, uid " + userName(status.st_uid));
  if (!sticky && (status.st_mode & S_IWGRP) != 0) {
    writers.push_back("group " + groupName(status.st_gid));
  }
  if (!sticky && (status.st_mode & S_IWOTH) != 0) writers.push_back("everyone");
  if (writers.empty()) return;
  std::string who;
  for (const std::string& writer : writers) who += (who.empty() ? "" : ", ") + writer;
  findings.add(
      "unsafe",
      shown(path) + ": writable by " + who + ", who can then decide what root's installers bind",
      true);
}

// Who other than root can replace the link at `link`: whoever can write its
// directory, or in a sticky one, the link's owner and the directory's.
std::string linkChangers(const std::string& link) {
  struct stat linkStatus {};
  struct stat directory {};
  const std::string parent = link.substr(0, std::max<std::size_t>(link.rfind('/'), 1));
  if (::lstat(link.c_str(), &linkStatus) != 0 || ::stat(parent.c_str(), &directory) != 0) {
    return std::string();
  }
  std::vector<std::string> changers;
  if (directory.st_uid != 0) changers.push_back("uid " + userName(directory.st_uid));
  if ((directory.st_mode & S_ISVTX) != 0) {
    if (linkStatus.st_uid != 0 && linkStatus.st_uid != directory.st_uid) {
      changers.push_back("its owner, uid " + userName(linkStatus.st_uid));
    }
  } else {
    if ((directory.st_mode & S_IWGRP) != 0)
      changers.push_back("group " + groupName(directory.st_gid));
    if ((directory.st_mode & S_IWOTH) != 0) changers.push_back("everyone");
  }
  std::string who;
  for (const std::string& changer : changers) who += (who.empty() ? "" : ", ") + changer;
  return who;
}

// Checks every directory on the way to `path` from "/", through every
// symbolic link, and what it leads to: whoever can rename or replace any of
// them, or a link among them, can put another file in its place.
void checkWritersAlong(const std::string& path, const std::string& root,
                       std::set<std::string>& checked, tFindings& findings) {
  for (const tPathStep& step : walkPath(path, root)) {
    if (step.missing || !checked.insert(step.path).second) continue;
    if (!step.link) {
      checkWriters(step.path, findings);
      continue;
    }
    if (const std::string who = linkChangers(step.path); !who.empty()) {
      findings.add("unsafe",
                   shown(step.path) + ": a symbolic link to " + shown(step.target) + " that " +
                       who + " can replace, who can then decide what root's installers bind",
                   true);
    }
  }
}

}  // namespace

bool checkSetup(const tMapPaths& paths, std::FILE* out) {
  tFindings findings;
  const tMapDirectoryLookup lookup = paths.lookUpMapDirectory();
  const std::string& root = paths.root();
  // What a run opens is what the path resolves to (inside the root): the
  // files there are the ones checked, and the way there is what counts.
  const std::string directory = resolvedPath(lookup.directory, root);
  checkDirectoryFile(paths, lookup, findings);
  checkMapDirectory(lookup.directory, directory, findings);
  checkLockFile(directory, findings);
  const bool lockHeld = checkLock(directory, findings);
  for (const bool is64Bit : {false, true}) {
    checkMapFile(directory + "/" + tMapPaths::mapFileName(is64Bit), root, lockHeld, findings);
  }
  std::set<std::string> checked;
  checkWritersAlong(paths.directoryFile(), root, checked, findings);
  checkWritersAlong(lookup.directory, root, checked, findings);
  for (const bool is64Bit : {false, true}) {
    checkWriters(directory + "/" + tMapPaths::mapFileName(is64Bit), findings);
  }
  findings.write(out);
  return findings.healthy();
}

}  // namespace nDRAVI100
