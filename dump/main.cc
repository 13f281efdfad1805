#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "dump/tDumpProgram.h"
#include "os/tStandardDescriptors.h"

int main(int argc, char** argv) {
  // Asked before /dev/null takes its place: output with nowhere to go must
  // not pass for a dump or a backup written.
  const bool outputClosed = ::fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
  if (!nDRAVI100::keepStandardDescriptorsOpen()) return nDRAVI100::kDumpFailed;
  std::FILE* const out = outputClosed ? nDRAVI100::closedOutput() : stdout;
  if (out == nullptr) return nDRAVI100::kDumpFailed;
  return nDRAVI100::runDump(std::vector<std::string>(argv, argv + argc), out, stderr);
}
