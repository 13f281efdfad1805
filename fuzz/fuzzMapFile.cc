// The map file reader: any bytes, and a file that loads re-saves to bytes
// that load to the same maps and re-save to the same bytes. The salvaging
// scanner agrees with the reader on every input and never claims more bytes
// than there are. Reading a descriptor, with or without keeping the maps,
// finds the file as written exactly when saving its maps gives its bytes
// back: a run that wrongly thought so would keep a file it must mend, and
// one that wrongly did not would rewrite the map for nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzzCheck.h"
#include "persistentStorage/tMapFile.h"

namespace {

using nDRAVI100::tClassNameMap;
using nDRAVI100::tStatus;

template <typename Read>
void readFrom(const std::string& bytes, Read read) {
  std::string copy = bytes.empty() ? std::string(1, '\0') : bytes;
  std::FILE* in = ::fmemopen(copy.data(), bytes.empty() ? 0 : copy.size(), "rb");
  if (in == nullptr) in = std::fopen("/dev/null", "rb");
  read(in);
  std::fclose(in);
}

tStatus load(const std::string& bytes, tClassNameMap& first, tClassNameMap& second) {
  tStatus status = 0;
  readFrom(bytes,
           [&](std::FILE* in) { nDRAVI100::readMapFileContents(in, first, &second, status); });
  return status;
}

std::string save(const tClassNameMap& first, const tClassNameMap& second) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&buffer, &size);
  tStatus status = 0;
  nDRAVI100::writeMapFileContents(out, first, &second, status);
  std::fclose(out);
  FUZZ_CHECK(status == 0);
  std::string bytes(buffer, size);
  std::free(buffer);
  return bytes;
}

// Reads `bytes` through a descriptor, keeping the maps or only checking.
nDRAVI100::tMapFileScan readDescriptor(const std::string& bytes, bool keep, tStatus& status) {
  const int fd = ::memfd_create("map", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  tClassNameMap first;
  tClassNameMap second;
  const nDRAVI100::tMapFileScan scan = nDRAVI100::readMapFileDescriptor(
      fd, 2, keep ? &first : nullptr, keep ? &second : nullptr, status);
  ::close(fd);
  return scan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tClassNameMap first;
  tClassNameMap second;
  const tStatus status = load(bytes, first, second);
  FUZZ_CHECK(status == 0 || status == -50207 || status == -50250 || status == -50257);

  tClassNameMap firstScanned;
  tClassNameMap secondScanned;
  readFrom(bytes, [&](std::FILE* in) {
    const nDRAVI100::tMapFileScan scan = nDRAVI100::scanMapFile(in, firstScanned, &secondScanned);
    FUZZ_CHECK(scan.code == status);
    FUZZ_CHECK(scan.offset <= size);
    FUZZ_CHECK(!scan.readFailed);
  });
  bool asWritten[2] = {};
  for (const bool keep : {true, false}) {
    tStatus read = 0;
    asWritten[keep] = readDescriptor(bytes, keep, read).asWritten;
    FUZZ_CHECK(read == status);
  }
  FUZZ_CHECK(asWritten[0] == asWritten[1]);
  FUZZ_CHECK(asWritten[0] == (status == 0 && save(first, second) == bytes));
  if (status != 0) return 0;
  FUZZ_CHECK(firstScanned == first);
  FUZZ_CHECK(secondScanned == second);

  const std::string saved = save(first, second);
  tClassNameMap firstAgain;
  tClassNameMap secondAgain;
  FUZZ_CHECK(load(saved, firstAgain, secondAgain) == 0);
  FUZZ_CHECK(firstAgain == first);
  FUZZ_CHECK(secondAgain == second);
  FUZZ_CHECK(save(firstAgain, secondAgain) == saved);
  return 0;
}
