// A map file's bytes read from its descriptor, piece by piece, for a
// tFieldReader: what the loader's check and zembril-dump's walk both read.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "mapFile/tFieldReader.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

// Like tFieldReader.h, included by the readers' translation units alone,
// with internal linkage there.
namespace {  // NOLINT(cert-dcl59-cpp)

// The map file's own descriptor is read this many bytes at a time when it
// is only checked: few enough that a piece is still in the processor's
// cache while it is walked, and many enough that a million bindings cost a
// few hundred system calls.
constexpr std::size_t kReadAhead = std::size_t{128} * 1024;

// The size of the regular file open at `fd`, or 0 when it is not known.
std::uint64_t sizeHint(int fd) {
  struct stat file {};
  if (::fstat(fd, &file) == 0 && S_ISREG(file.st_mode)) {
    return static_cast<std::uint64_t>(file.st_size);
  }
  return 0;
}

class tDescriptorSource final : public tByteSource {
 public:
  // Only a hint, for sizes: without it the reader reads as it would.
  explicit tDescriptorSource(int descriptor) : fd(descriptor), size(sizeHint(descriptor)) {}
  std::size_t pull(char* into, std::size_t room) override {
    const long got = readRetrying(fd, into, room);
    if (got >= 0) return static_cast<std::size_t>(got);
    error = errno;
    return 0;
  }
  // A small file is read into a buffer of its own size, not a large piece:
  // every page of a buffer costs a fault when it is first written.
  std::size_t readAhead() const override {
    return size == 0 ? kReadAhead
                     : static_cast<std::size_t>(std::min<std::uint64_t>(size, kReadAhead));
  }
  bool failed(int& errorOut) const override {
    errorOut = error;
    return error != 0;
  }

 private:
  int fd;
  int error = 0;
  std::uint64_t size = 0;
};

}  // namespace
}  // namespace nDRAVI100
