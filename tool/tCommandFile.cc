#include "tool/tCommandFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "classMap/tCommandFileGrammar.h"
#include "os/tFile.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {

void runCommandFile(const std::string& path, tClassMapStore& store, tStatus& status) {
  if (isError(status)) return;
  // A buffer of stdio's own size, 4 KiB, cost a bulk file a thousand reads
  // where a few hundred kilobytes at a time take a handful. It outlives the
  // stream, which is closed first.
  constexpr std::size_t kReadPiece = std::size_t{1} << 20;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kReadPiece);
  // The file is only read; closing it cannot lose anything.
  const tFile file = tFile::open(path, "r");
  if (!file) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  // Only a larger buffer: where it is refused, stdio's own serves.
  (void)std::setvbuf(file.get(), buffer.get(), _IOFBF, kReadPiece);
  std::int32_t endOfFile = 0;
  tSplitLine line;
  while (endOfFile == 0 && !isError(status)) {
    readSplitLine(file.get(), endOfFile, line, status);
    if (line.stripped.empty()) continue;
    tMapScope scope = 0;
    if (isFileAdd(line, scope)) {
      // Most lines of a bulk file: carried out from the line where it was
      // read, as its request would be.
      dispatchFileAdd(line.fields[2], line.fields[3], scope, store, status);
      releaseLongLine();
    } else {
      const tCommandRequest& request = parseFileLine(line.stripped, status);
      // The request holds its own copy of what it needs: a long line need
      // not be held beside it and the map's copy while the command runs.
      releaseLongLine();
      dispatchFileLine(request, store, status);
    }
    // One line's warning must not reach the next line or the end of the run.
    if (isWarning(status)) clearStatus(status);
  }
}

}  // namespace nDRAVI100
