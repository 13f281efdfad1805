#include "tool/tCommandFile.h"

#include <cstdint>
#include <string_view>

#include "classMap/tCommandFileGrammar.h"
#include "os/tFile.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {

void runCommandFile(const std::string& path, tClassMapStore& store, tStatus& status) {
  if (isError(status)) return;
  // The file is only read; closing it cannot lose anything.
  const tFile file = tFile::open(path, "r");
  if (!file) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  std::int32_t endOfFile = 0;
  while (endOfFile == 0 && !isError(status)) {
    const std::string_view line = readStrippedLine(file.get(), endOfFile, status);
    if (line.empty()) continue;
    const tCommandRequest& request = parseFileLine(line, status);
    // The request holds its own copy of what it needs: a long line need not
    // be held beside it and the map's copy while the command runs.
    releaseLongLine();
    dispatchFileLine(request, store, status);
    // One line's warning must not reach the next line or the end of the run.
    if (isWarning(status)) clearStatus(status);
  }
}

}  // namespace nDRAVI100
