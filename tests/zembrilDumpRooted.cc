// zembril-dump as the tests run it: "zembril-dump-rooted ROOT ARGS..." is
// "zembril-dump ARGS..." with the directory file and the fallback map
// directory looked up below ROOT. The program name stays argument 0.
#include <string>
#include <vector>

#include "dump/tDumpProgram.h"
#include "persistentStorage/tFileSystemAdapter.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  nDRAVI100::tFileSystemAdapter::setFixedPathRootForTesting(argv[1]);
  std::vector<std::string> arguments{argv[0]};
  arguments.insert(arguments.end(), argv + 2, argv + argc);
  return nDRAVI100::runDump(arguments, stdout, stderr);
}
