// The tool as the tests run it: "zembril-rooted ROOT ARGS..." is "zembril
// ARGS..." with the directory file and the fallback map directory looked up
// below ROOT, so that tests never touch the machine's own class map. The
// program name stays argument 0.
#include <vector>

#include "persistentStorage/tFileSystemAdapter.h"
#include "tool/tProgramEntry.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  nDRAVI100::tFileSystemAdapter::setFixedPathRootForTesting(argv[1]);
  std::vector<const char*> arguments{argv[0]};
  for (int i = 2; i < argc; ++i) arguments.push_back(argv[i]);
  return nDRAVI100::runProgram(static_cast<int>(arguments.size()), arguments.data());
}
