#include <string>
#include <vector>

#include "dump/tDumpProgram.h"

int main(int argc, char** argv) {
  return nDRAVI100::runDump(std::vector<std::string>(argv, argv + argc), stdout, stderr);
}
