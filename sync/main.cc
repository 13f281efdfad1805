#include <string>
#include <vector>

#include "sync/tSyncProgram.h"

int main(int argc, char** argv) {
  return nDRAVI100::runSync(std::vector<std::string>(argv, argv + argc), stdout, stderr);
}
