#include "tool/tProgramEntry.h"

#include <cstdio>

#include "classMap/tClassMapStore.h"
#include "cli/tTextEscaping.h"
#include "os/tLargeAllocator.h"
#include "tool/tCommandDispatch.h"
#include "tool/tCommandLine.h"

namespace nDRAVI100 {

std::string formatReport(tStatus status, const std::vector<std::string>& arguments) {
  if (status == 0) return std::string();
  const std::string code = std::to_string(status);
  if (isWarning(status)) return "\tWarning generated: " + code + "\n";
  std::string report;
  if (arguments.size() >= 3 && arguments[1] == "/file") {
    // Only a control character is escaped: the line prints every other
    // path byte for byte as it always has, and none can steer a terminal.
    report = "\tLoading from file '" + escapeControls(arguments[2]) + "' failed!\n";
  } else {
    report = "\tOperation Failed!\n";
  }
  return report + "\tStatus on exit was " + code + ".\n";
}

int runProgram(int argc, const char* const* argv) {
  keepFreedMemoryUntilExit();
  tStatus status = 0;
  std::vector<std::string> arguments;
  arguments.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);

  tCommandRequest request;
  // The report below reads the command line as the grammar does, without
  // the root switch.
  std::string root;
  takeRootSwitch(arguments, root, status);
  parseCommandLine(request, arguments, status);
  {
    // Every change stays in memory until the one save below, so a run that
    // fails half way through a command file leaves the map file as it was.
    tClassMapStore store(kDeferSave, request.getX64(status), persistentMapNeed(request, status),
                         status, root);
    dispatchCommand(request, store, status);
    store.saveAllMapFiles(status);
    const std::string report = formatReport(status, arguments);
    (void)std::fwrite(report.data(), 1, report.size(), stdout);
  }
  (void)std::fflush(stdout);
  return exitStatusFor(status);
}

}  // namespace nDRAVI100
