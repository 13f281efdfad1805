#include "dump/tSetupCheck.h"

#include <set>

#include "dump/tKeptCopyCheck.h"
#include "dump/tLibraryCheck.h"
#include "dump/tLockCheck.h"
#include "dump/tMapDirectoryCheck.h"
#include "dump/tPathWalk.h"
#include "dump/tSetupJson.h"
#include "dump/tWriterCheck.h"
#include "os/tDirectory.h"

namespace nDRAVI100 {

tSetupHealth examineSetup(const tMapPaths& paths) {
  tSetupHealth health;
  tFindings& findings = health.findings;
  // Read once, as a run reads it.
  const tMapPaths resolved = tMapPaths::resolve(paths.root());
  const tMapDirectoryLookup& lookup = resolved.lookup();
  const std::string& root = resolved.root();
  health.root = root;
  // What a run opens is what the path resolves to (inside the root): the
  // files there are the ones checked, and the way there is what counts.
  const std::string directory = resolvedPath(lookup.directory, root);
  // Opened, and its way judged, as a run opens it: whether a run takes the
  // lock, and what it makes of the lock file, is zembril's own judgement.
  const tDirectory mapDirectory = tDirectory::open(lookup.directory, root);
  checkDirectoryFile(resolved, lookup, findings);
  checkWay(resolved.directoryFile(), lookup.steeredBy, findings);
  checkMapDirectory(lookup.directory, directory, findings);
  checkWay(lookup.directory, mapDirectory.steeredBy(), findings);
  health.lockFile = resolvedFilePath(resolved.lockFile(), root);
  const bool steered = !lookup.steeredBy.empty() || !mapDirectory.steeredBy().empty();
  checkLockFile(health.lockFile, mapDirectory, steered, findings);
  health.locks = checkLock(health.lockFile, findings);
  const bool lockHeld = health.locks && !health.locks->holders.empty();
  for (const bool is64Bit : {false, true}) {
    const std::string mapFile = resolvedFilePath(resolved.mapFile(is64Bit), root);
    health.mapFiles.push_back(checkMapFile(mapFile, root, lockHeld, findings));
    const tMapFileSnapshot& map = health.mapFiles.back().map;
    // Only the maps that a run goes on with are what the loader is asked for.
    if (map.state == tMapFileState::whole) {
      const tLibraryCensus census = takeLibraryCensus(map, tScopeChoice::both, root, true);
      checkLibraries(mapFile, is64Bit, census, findings);
      for (const tUnfoundBinding& binding : census.missing) {
        health.missing.push_back({mapFile, binding});
      }
    }
    checkKeptCopies(mapFile, root, findings);
  }
  std::set<std::string> checked;
  checkWritersAlong(resolved.directoryFile(), root, checked, findings);
  checkWritersAlong(lookup.directory, root, checked, findings);
  for (const bool is64Bit : {false, true}) {
    checkWriters(resolvedFilePath(resolved.mapFile(is64Bit), root), findings);
  }
  return health;
}

bool checkSetup(const tMapPaths& paths, tOutputForm form, std::FILE* out) {
  const tSetupHealth health = examineSetup(paths);
  if (form == tOutputForm::json) {
    writeSetupJson(health, out);
  } else {
    health.findings.write(out);
  }
  return health.findings.healthy();
}

}  // namespace nDRAVI100
