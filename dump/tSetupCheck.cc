#include "dump/tSetupCheck.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

#include "cli/tProgramVoice.h"
#include "dump/tKeptCopyCheck.h"
#include "dump/tLockCheck.h"
#include "dump/tMapDirectoryCheck.h"
#include "dump/tMapFileCheck.h"
#include "dump/tPathWalk.h"
#include "dump/tWriterCheck.h"

namespace nDRAVI100 {

void tFindings::add(std::string label, std::string finding, bool needsAttention) {
  lines.push_back({std::move(label), std::move(finding)});
  if (needsAttention) ++problems;
}

void tFindings::write(std::FILE* out) const {
  std::size_t width = std::string_view("summary").size();
  for (const auto& line : lines) width = std::max(width, line.label.size());
  const auto writeLine = [&](const std::string& label, const std::string& finding) {
    put(out, label + std::string(width + 2 - label.size(), ' ') + finding + '\n');
  };
  for (const auto& line : lines) writeLine(line.label, line.finding);
  writeLine("summary", problems == 0
                           ? std::string("healthy")
                           : std::to_string(problems) +
                                 (problems == 1 ? " thing needs" : " things need") + " attention");
}

std::string userName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return std::to_string(uid) + (entry != nullptr ? std::string(" (") + entry->pw_name + ")" : "");
}

std::string groupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return std::to_string(gid) + (entry != nullptr ? std::string(" (") + entry->gr_name + ")" : "");
}

std::string errorText(std::int32_t code) { return std::to_string(-code); }

bool checkSetup(const tMapPaths& paths, std::FILE* out) {
  tFindings findings;
  // Read once, as a run reads it.
  const tMapPaths resolved = tMapPaths::resolve(paths.root());
  const tMapDirectoryLookup& lookup = resolved.lookup();
  const std::string& root = resolved.root();
  // What a run opens is what the path resolves to (inside the root): the
  // files there are the ones checked, and the way there is what counts.
  const std::string directory = resolvedPath(lookup.directory, root);
  checkDirectoryFile(resolved, lookup, findings);
  checkMapDirectory(lookup.directory, directory, findings);
  const std::string lockFile = resolvedFilePath(resolved.lockFile(), root);
  checkLockFile(lockFile, findings);
  const bool lockHeld = checkLock(lockFile, findings);
  for (const bool is64Bit : {false, true}) {
    const std::string mapFile = resolvedFilePath(resolved.mapFile(is64Bit), root);
    checkMapFile(mapFile, root, lockHeld, findings);
    checkKeptCopies(mapFile, root, findings);
  }
  std::set<std::string> checked;
  checkWritersAlong(resolved.directoryFile(), root, checked, findings);
  checkWritersAlong(lookup.directory, root, checked, findings);
  for (const bool is64Bit : {false, true}) {
    checkWriters(resolvedFilePath(resolved.mapFile(is64Bit), root), findings);
  }
  findings.write(out);
  return findings.healthy();
}

}  // namespace nDRAVI100
