#include "persistentStorage/tRecoveryPlan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <utility>

#include "os/tRegularFile.h"
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

namespace {

// What the temporary file beside `mapName` is, with `readThrough` reading
// it from the start of the descriptor it is given and setting the code of
// what it found: the one judgement of it, however it is read.
tTemporaryFile judgeTemporaryFile(
    const tDirectory& directory, const std::string& mapName, const tMapFileRead& map,
    const std::function<tMapFileScan(int fd, tStatus& code)>& readThrough) {
  const std::string name = tMapPaths::temporaryNameFor(mapName);
  tTemporaryFile temporary;
  struct stat found {};
  if (const int error = directory.statFile(name, found); error != 0) {
    temporary.state =
        isMissingFileError(error) ? tTemporaryState::absent : tTemporaryState::unreadable;
    return temporary;
  }
  // Only a save makes this name, always as a regular file: anything else
  // there (a link, say) was not left by a run.
  temporary.state = tTemporaryState::other;
  if (map.state != tMapFileState::copyUnfinished || !S_ISREG(found.st_mode)) return temporary;
  // The mark names the size: a file of another size is not the one it
  // names, and is not read, however large it is.
  if (!map.mark || static_cast<std::uint64_t>(found.st_size) != map.mark->size) return temporary;
  tRegularFile file = directory.openFile(name, O_RDONLY);
  if (!file) {
    temporary.state = file.notRegular() ? tTemporaryState::other : tTemporaryState::unreadable;
    return temporary;
  }
  tStatus code = 0;
  const tMapFileScan scan = readThrough(file.descriptor(), code);
  if (scan.readFailed) {
    temporary.state = tTemporaryState::unreadable;
    return temporary;
  }
  if (code != 0) return temporary;
  const std::optional<tCopyMark> digest = digestOfFile(file.descriptor());
  if (!digest) {
    temporary.state = tTemporaryState::unreadable;
    return temporary;
  }
  if (digest == map.mark) {
    temporary.state = tTemporaryState::namedByMark;
    temporary.file = std::move(file);
  }
  return temporary;
}

// Takes no record: a walk that only judges the file.
class tNoRecords final : public tRecordSink {
 public:
  void take(int, const tWalkedString&, const tWalkedString&, bool) override {}
};

}  // namespace

tTemporaryFile examineTemporaryFile(const tDirectory& directory, const std::string& mapName,
                                    const tMapFileRead& map, tClassNameMap& first,
                                    tClassNameMap* second) {
  return judgeTemporaryFile(directory, mapName, map, [&](int fd, tStatus& code) {
    return readMapFileDescriptor(fd, second != nullptr ? 2 : 1, &first, second, code);
  });
}

tTemporaryState foreseeTemporaryFile(const tDirectory& directory, const std::string& mapName,
                                     const tMapFileRead& map, int sections) {
  return judgeTemporaryFile(directory, mapName, map,
                            [&](int fd, tStatus& code) {
                              tNoRecords none;
                              tMapFileScan scan = walkMapFileDescriptor(fd, sections, none);
                              if (!scan.readFailed) code = scan.code;
                              return scan;
                            })
      .state;
}

void carryOutRecovery(const tDirectory& directory, const std::string& mapName,
                      const tMapFileRead& map, const tRecoveryPlan& plan,
                      const tTemporaryFile& temporary, tClassNameMap& first, tClassNameMap* second,
                      tStatus& status) {
  const std::string temporaryName = tMapPaths::temporaryNameFor(mapName);
  // Left by a run that never committed: whatever happens to the map file
  // later, it must not come back. Its removal need not be durable, since no
  // mark names it.
  if (plan.removeTemporaryFile) {
    (void)::unlinkat(directory.descriptor(), temporaryName.c_str(), 0);
  }
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
      moveIntoPlace(directory, temporaryName, temporary.file.descriptor(), mapName,
                    tTargetBefore::damaged, moved);
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
      if (!keepDamagedFile(directory, mapName)) raiseError(status, nCode::kCopyFailed);
      return;
    case tMapAction::fail:
      empty();
      raiseError(status, -map.code);
      return;
  }
}

}  // namespace nDRAVI100
