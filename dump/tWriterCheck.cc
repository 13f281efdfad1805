#include "dump/tWriterCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "cli/tTextEscaping.h"
#include "dump/tPathWalk.h"

namespace nDRAVI100 {

namespace {

std::string joined(const std::vector<std::string>& who) {
  std::string text;
  for (const std::string& one : who) text += (text.empty() ? "" : ", ") + one;
  return text;
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
  return joined(changers);
}

// Why a sticky directory keeps no one out of the way through it: sticky,
// it stops others from replacing a name of root's, but not from making a
// name that is missing, or from replacing one of their own. Empty when it
// does keep them out: `next`, the step the way takes in it, is root's.
// Without a next step (the map directory, where runs make their files) it
// keeps no one out.
std::string stickyFailsBecause(const tPathStep* next) {
  if (next == nullptr) {
    return "runs make their files in it, so anyone may make one first: a lock file that runs "
           "refuse, or a map file of their own";
  }
  const std::string name = escapeForText(next->path.substr(next->path.rfind('/') + 1));
  struct stat found {};
  if (next->missing || ::lstat(next->path.c_str(), &found) != 0) {
    return name + " is not there, so anyone may make it";
  }
  if (found.st_uid != 0) return name + " is owned by uid " + userName(found.st_uid);
  return std::string();
}

// Adds the finding for `path` and returns whether it added one. `next` is
// the step the way takes in it (see stickyFailsBecause), or null.
bool checkWritersOf(const std::string& path, const tPathStep* next, tFindings& findings) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
  const std::string stickyFails = sticky ? stickyFailsBecause(next) : std::string();
  // In a sticky directory that keeps root's name safe, only its owner counts.
  const bool othersCount = !sticky || !stickyFails.empty();
  std::vector<std::string> writers;
  if (status.st_uid != 0) writers.push_back("its owner, uid " + userName(status.st_uid));
  if (othersCount && (status.st_mode & S_IWGRP) != 0) {
    writers.push_back("group " + groupName(status.st_gid));
  }
  if (othersCount && (status.st_mode & S_IWOTH) != 0) writers.push_back("everyone");
  if (writers.empty()) return false;
  const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  findings.add(
      {"unsafe", path, "unsafe"},
      escapeForText(path) + ": writable by " + joined(writers) +
          (sticky && othersWrite && !stickyFails.empty() ? " (sticky, but " + stickyFails + ")"
                                                         : "") +
          ", who can then decide what root's installers bind",
      true);
  return true;
}

// Whether `step` is a name looked up in the directory `directory`.
bool isIn(const tPathStep& step, const std::string& directory) {
  const std::string::size_type slash = step.path.rfind('/');
  if (slash == std::string::npos) return false;
  return (slash == 0 ? std::string("/") : step.path.substr(0, slash)) == directory;
}

}  // namespace

void checkWriters(const std::string& path, tFindings& findings) {
  (void)checkWritersOf(path, nullptr, findings);
}

// Whoever can rename or replace any directory on the way, or a link among
// them, can put another file in the place of what the path leads to.
void checkWritersAlong(const std::string& path, const std::string& root,
                       std::set<std::string>& checked, tFindings& findings) {
  const std::vector<tPathStep> steps = walkPath(path, root);
  for (std::size_t at = 0; at < steps.size(); ++at) {
    const tPathStep& step = steps[at];
    if (step.missing || checked.contains(step.path)) continue;
    if (!step.link) {
      // A directory is judged again on another way, which may look up
      // another name in it, unless it was found unsafe already.
      const bool hasNext = at + 1 < steps.size() && isIn(steps[at + 1], step.path);
      if (checkWritersOf(step.path, hasNext ? &steps[at + 1] : nullptr, findings)) {
        checked.insert(step.path);
      }
      continue;
    }
    checked.insert(step.path);
    if (const std::string who = linkChangers(step.path); !who.empty()) {
      findings.add({"unsafe", step.path, "unsafe"},
                   escapeForText(step.path) + ": a symbolic link to " + escapeForText(step.target) +
                       " that " + who +
                       " can replace, who can then decide what root's installers bind",
                   true);
    }
  }
}

}  // namespace nDRAVI100
