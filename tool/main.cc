#include "os/tStandardDescriptors.h"
#include "tool/tProgramEntry.h"

int main(int argc, char** argv) {
  // An error's exit status, 255: nothing could be opened safely.
  if (!nDRAVI100::keepStandardDescriptorsOpen()) return 255;
  return nDRAVI100::runProgram(argc, argv);
}
