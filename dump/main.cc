#include <string>
#include <vector>

#include "dump/tDumpProgram.h"
#include "os/tStandardDescriptors.h"

int main(int argc, char** argv) {
  if (!nDRAVI100::keepStandardDescriptorsOpen()) return nDRAVI100::kDumpFailed;
  return nDRAVI100::runDump(std::vector<std::string>(argv, argv + argc), stdout, stderr);
}
