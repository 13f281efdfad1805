#include "dump/tRecoveryForecast.h"

#include <sys/stat.h>

#include "cli/tTextEscaping.h"
#include "os/tDirectory.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

// The name that the next damaged file at `path` is kept under.
std::string nextKeptName(const std::string& path) {
  struct stat ignored {};
  int n = 0;
  while (::lstat(tMapPaths::damagedNameFor(path, n).c_str(), &ignored) == 0) ++n;
  return escapeForText(fileNameOf(tMapPaths::damagedNameFor(path, n)));
}

}  // namespace

tRecoveryPlan forecastRecovery(const std::string& path, const std::string& root,
                               const tMapFileSnapshot& map) {
  return planRecovery(
      map.state, foreseeTemporaryFile(tDirectory::holding(path, root), fileNameOf(path), map, 2));
}

std::string planInWords(const tRecoveryPlan& plan, const tMapFileRead& map,
                        const std::string& path) {
  // A file named on the command line may have any name.
  const std::string temporary = escapeForText(fileNameOf(tMapPaths::temporaryNameFor(path)));
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

}  // namespace nDRAVI100
