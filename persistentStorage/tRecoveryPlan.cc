#include "persistentStorage/tRecoveryPlan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "persistentStorage/tRegularFile.h"
#include "persistentStorage/tReplacementFile.h"

namespace nDRAVI100 {

tRecoveryPlan planRecovery(tMapFileState map, tTemporaryState temporary) {
  const bool present = temporary != tTemporaryState::absent;
  switch (map) {
    case tMapFileState::absent:
    case tMapFileState::whole:
      return {tMapAction::keep, present};
    case tMapFileState::damaged:
      return {tMapAction::setAside, present};
    case tMapFileState::copyUnfinished:
      switch (temporary) {
        case tTemporaryState::namedByMark:
          return {tMapAction::finishCopy, false};
        case tTemporaryState::unreadable:
          // It may be the one complete copy: nothing is decided without it.
          return {tMapAction::fail, false};
        case tTemporaryState::absent:
        case tTemporaryState::other:
          return {tMapAction::setAside, present};
      }
      break;
    case tMapFileState::cannotOpen:
    case tMapFileState::notRegular:
    case tMapFileState::readFailed:
    case tMapFileState::unsettled:
      break;
  }
  return {tMapAction::fail, false};
}

tTemporaryState examineTemporaryFile(const std::string& mapPath, const tMapFileRead& map,
                                     tClassNameMap& first, tClassNameMap* second) {
  const std::string path = tReplacementFile::temporaryPathFor(mapPath);
  struct stat found {};
  if (::lstat(path.c_str(), &found) != 0) {
    return isMissingFileError(errno) ? tTemporaryState::absent : tTemporaryState::unreadable;
  }
  // Only a save makes this name, always as a regular file: anything else
  // there (a link, say) was not left by a run.
  if (map.state != tMapFileState::copyUnfinished || !S_ISREG(found.st_mode)) {
    return tTemporaryState::other;
  }
  const tMapFileRead temporary =
      readMapFile(path, {second != nullptr ? 2 : 1, &first, second, false, true, false});
  if (temporary.state == tMapFileState::readFailed ||
      temporary.state == tMapFileState::cannotOpen) {
    return tTemporaryState::unreadable;
  }
  if (temporary.state != tMapFileState::whole) return tTemporaryState::other;
  const tRegularFile file = tRegularFile::openForReading(path, false);
  if (!file) return tTemporaryState::unreadable;
  const std::optional<tCopyMark> digest = digestOfFile(file.descriptor());
  if (!digest) return tTemporaryState::unreadable;
  return digest == map.mark ? tTemporaryState::namedByMark : tTemporaryState::other;
}

void carryOutRecovery(const std::string& mapPath, const tMapFileRead& map,
                      const tRecoveryPlan& plan, tClassNameMap& first, tClassNameMap* second,
                      tStatus& status) {
  const std::string temporary = tReplacementFile::temporaryPathFor(mapPath);
  // Left by a run that never committed: whatever happens to the map file
  // later, it must not come back. Its removal need not be durable, since no
  // mark names it.
  if (plan.removeTemporaryFile) (void)::unlink(temporary.c_str());
  auto empty = [&] {
    first.clear();
    if (second != nullptr) second->clear();
  };
  switch (plan.map) {
    case tMapAction::keep:
      return;
    case tMapAction::finishCopy: {
      // Now rather than at the save: the save starts by removing the
      // temporary file, and until its own new file is in place the marked
      // map file would be all there is.
      tStatus moved = 0;
      moveIntoPlace(temporary, mapPath, tTargetBefore::damaged, moved);
      if (isError(moved)) {
        empty();
        raiseError(status, -moved);
      }
      return;
    }
    case tMapAction::setAside:
      empty();
      // A damaged file costs the run its stored bindings, not its success;
      // but it is never lost: a run that cannot keep it fails instead.
      if (!keepDamagedFile(mapPath)) raiseError(status, nCode::kCopyFailed);
      return;
    case tMapAction::fail:
      empty();
      raiseError(status, -map.code);
      return;
  }
}

}  // namespace nDRAVI100
