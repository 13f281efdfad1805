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

}  // namespace

// In a sticky directory others may add names but not replace root's, so
// there only its owner counts.
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
  findings.add({"unsafe", path, "unsafe"},
               escapeForText(path) + ": writable by " + joined(writers) +
                   ", who can then decide what root's installers bind",
               true);
}

// Whoever can rename or replace any directory on the way, or a link among
// them, can put another file in the place of what the path leads to.
void checkWritersAlong(const std::string& path, const std::string& root,
                       std::set<std::string>& checked, tFindings& findings) {
  for (const tPathStep& step : walkPath(path, root)) {
    if (step.missing || !checked.insert(step.path).second) continue;
    if (!step.link) {
      checkWriters(step.path, findings);
      continue;
    }
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
