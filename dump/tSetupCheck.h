// The diagnosis of --check: what a run of zembril on this system meets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

// Writes to `out`, one aligned "label  finding" line each: which directory
// file was read and what its first line named, or why the fallback map
// directory is in use; whether the map directory exists and can be
// written; whether its lock file is one zembril accepts, and who holds the
// lock right now; each map file (dravimap and dravimap64), and beside it a
// .tmp file left behind and the kept copies of damaged ones, with what the
// next run that takes the lock does with them; a warning for each of the
// directory file, the map directory, the map files and the directories and
// links on the way to them that anyone but root can change; and a summary
// line. Reads only: the lock is never taken; its holders are found in the
// /proc/PID/fdinfo of the lock file owner's processes, and in /proc/locks
// only where those cannot be seen (see findFileLocks). Returns true when
// nothing needs attention. Every path is taken from `paths`, inside its
// root. Write errors on `out` are left for the caller.
[[nodiscard]] bool checkSetup(const tMapPaths& paths, std::FILE* out);

// The findings of one check, printed once all are known so that the labels
// line up, and a summary of how many need attention.
class tFindings {
 public:
  void add(std::string label, std::string finding, bool needsAttention);
  [[nodiscard]] bool healthy() const { return problems == 0; }
  // The lines, then "summary" with "healthy" or "N thing(s) need(s) attention".
  void write(std::FILE* out) const;

 private:
  struct tLine {
    std::string label;
    std::string finding;
  };
  std::vector<tLine> lines;
  int problems = 0;
};

// How a finding names a user or a group: "0 (root)", or the bare number
// when no name is known.
[[nodiscard]] std::string userName(uid_t uid);
[[nodiscard]] std::string groupName(gid_t gid);

// How a finding names zembril's error `code` (a positive code of nCode):
// as zembril prints it, with its minus sign.
[[nodiscard]] std::string errorText(std::int32_t code);

}  // namespace nDRAVI100
