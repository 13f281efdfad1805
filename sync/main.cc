#include <string>
#include <vector>

#include "os/tStandardDescriptors.h"
#include "sync/tSyncProgram.h"

int main(int argc, char** argv) {
  if (!nDRAVI100::keepStandardDescriptorsOpen()) return nDRAVI100::kSyncFailed;
  return nDRAVI100::runSync(std::vector<std::string>(argv, argv + argc), stdout, stderr);
}
