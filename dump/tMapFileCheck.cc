#include "dump/tMapFileCheck.h"

#include <sys/stat.h>

#include "dump/tMapFileSnapshot.h"
#include "dump/tQuotedString.h"
#include "dump/tRecoveryForecast.h"
#include "os/tDirectory.h"
#include "persistentStorage/tMapPaths.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

namespace {

// Only a run that holds the lock writes these files, and while it does
// they may be caught half written.
std::string writingNote(bool lockHeld) {
  return lockHeld ? "; a run holds the lock and may be writing it" : "";
}

void checkTemporaryFile(const std::string& path, const std::string& root,
                        const tMapFileSnapshot& map, const tRecoveryPlan& plan, bool lockHeld,
                        tFindings& findings) {
  const std::string temporaryPath = tMapPaths::temporaryNameFor(path);
  // zembril takes only a regular file at this name for its own: a link there
  // reads as one that is not. Only counted: none of its bindings is held.
  const tMapFileSnapshot temporary =
      readMapFileSnapshot(temporaryPath, true, true, root, kCountedOnly);
  if (temporary.state == tMapFileState::absent) return;
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
    finding +=
        ", the source of the copy into " + fileNameOf(path) + ": " + planInWords(plan, map, path);
  } else if (plan.removeTemporaryFile) {
    const bool notRegular = temporary.state == tMapFileState::notRegular;
    finding += (notRegular ? ": " : ", " + leftBehind) +
               "the next run that takes the lock removes it" +
               (notRegular && S_ISDIR(temporary.mode)
                    ? " if it can; runs that change the map fail with " +
                          errorText(nCode::kCannotOpen) + " until it is removed"
                    : " and never reads it");
  }
  findings.add({"temporary-file", temporaryPath, fileNameOf(temporaryPath)},
               finding + writingNote(lockHeld), needsAttention);
}

}  // namespace

tCheckedMapFile checkMapFile(const std::string& path, const std::string& root, bool lockHeld,
                             tFindings& findings) {
  // Of a string longer than a path the census needs no more than a quote's
  // worth, read from the file.
  tBindingFilter filter;
  filter.longestHeld = kLongestQuotedWhole;
  tCheckedMapFile checked{path, readMapFileSnapshot(path, true, lockHeld, root, filter), {}};
  const tMapFileSnapshot& map = checked.map;
  // The very plan that the next holder of the lock carries out.
  checked.plan = forecastRecovery(path, root, map);
  const tRecoveryPlan& plan = checked.plan;
  const tSubject subject{"map-file", path, fileNameOf(path)};
  const std::string writing = writingNote(lockHeld);
  const std::string bitnessFails = ": runs of this bitness fail with ";

  switch (map.state) {
    case tMapFileState::absent:
      findings.add(subject, "absent: an empty map", false);
      break;
    case tMapFileState::cannotOpen:
      findings.add(subject, troubleOf(map) + bitnessFails + errorText(nCode::kCannotOpen), true);
      break;
    case tMapFileState::readFailed:
      findings.add(subject, troubleOf(map) + bitnessFails + errorText(nCode::kMapFileTooShort),
                   true);
      break;
    case tMapFileState::notRegular:
      findings.add(subject,
                   troubleOf(map) + bitnessFails + errorText(nCode::kMapFileTooShort) +
                       " and change nothing; it is never set aside",
                   true);
      break;
    case tMapFileState::unsettled:
      findings.add(subject, troubleOf(map) + writing, !lockHeld);
      break;
    case tMapFileState::whole: {
      std::string finding = "valid: " + countsOf(map) + ", " + std::to_string(map.size) + " bytes";
      if (map.size > map.scan.offset) {
        finding += "; the " + std::to_string(map.size - map.scan.offset) +
                   " bytes after its end hold no binding, and the next run that takes the lock "
                   "drops them";
      }
      findings.add(subject, finding, false);
      break;
    }
    case tMapFileState::copyUnfinished:
      findings.add(
          subject,
          "a copy into it began and did not finish; " + planInWords(plan, map, path) + writing,
          !lockHeld);
      break;
    case tMapFileState::damaged:
      findings.add(subject,
                   "damaged: " + damageOf(map) + " (" + countsOf(map) + " before it); " +
                       planInWords(plan, map, path),
                   true);
      break;
  }
  checkTemporaryFile(path, root, map, plan, lockHeld, findings);
  return checked;
}

}  // namespace nDRAVI100
