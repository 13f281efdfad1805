#include "tool/tCommandFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "classMap/tCommandFileGrammar.h"
#include "classMap/tCommandFileReader.h"
#include "os/tFile.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {

void runCommandFile(const std::string& path, tClassMapStore& store, tStatus& status) {
  if (isError(status)) return;
  // The file is only read; closing it cannot lose anything. It is opened
  // as fopen opens it, and read past stdio, in pieces that adds view.
  const tFile file = tFile::open(path, "r");
  if (!file) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  tCommandFileReader reader(::fileno(file.get()));
  std::int32_t endOfFile = 0;
  tSplitLine line;
  // After this many adds, the map of the last is given room for as many
  // more as the file seems to hold: lines of the same length, and an eighth
  // to spare. A map grown a doubling at a time took fresh memory and a copy
  // of every binding each time, a tenth of a bulk file's run.
  constexpr std::size_t kAddsBeforeRoom = 64;
  std::size_t adds = 0;
  while (endOfFile == 0 && !isError(status)) {
    reader.next(line, endOfFile, status);
    if (isError(status) || line.empty()) continue;
    tMapScope scope = 0;
    if (isFileAdd(line, scope)) {
      if (++adds == kAddsBeforeRoom) {
        const std::size_t left = reader.linesLeft();
        store.expectAdds(left + left / 8, scope, status);
      }
      // Most lines of a bulk file: carried out from the line where it was
      // read, and bound as views of it when the map keeps them.
      if (dispatchFileAdd(line.fields[2], line.fields[3], scope, store, status)) reader.holdLine();
      reader.releaseLongLine();
    } else {
      const tCommandRequest& request = parseFileLine(strippedLine(line), status);
      // The request holds its own copy of what it needs: a long line need
      // not be held beside it while the command runs.
      reader.releaseLongLine();
      dispatchFileLine(request, store, status);
    }
    // One line's warning must not reach the next line or the end of the run.
    if (isWarning(status)) clearStatus(status);
  }
}

}  // namespace nDRAVI100
