// The copy mark at the head of a map file (its layout: tMapFileFormat.h),
// and the digest of the temporary file that it names.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mapFile/tMapFile.h"
#include "mapFile/tMapFileFormat.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

namespace {

std::uint64_t littleEndianAt(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t byte = width; byte-- > 0;) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + byte]);
  }
  return value;
}

void appendLittleEndian(std::string& bytes, std::uint64_t value, std::size_t width) {
  for (std::size_t byte = 0; byte < width; ++byte) {
    bytes.push_back(static_cast<char>(value >> (8 * byte)));
  }
}

}  // namespace

std::string encodeCopyMark(const tCopyMark& mark) {
  std::string bytes;
  appendLittleEndian(bytes, kCopyMarkTag, 4);
  appendLittleEndian(bytes, kCopyMarkVersion, 4);
  appendLittleEndian(bytes, mark.size, 8);
  appendLittleEndian(bytes, mark.digest, 8);
  return bytes;
}

std::optional<tCopyMark> decodeCopyMark(std::string_view head) {
  if (head.size() < kCopyMarkSize || littleEndianAt(head, 0, 4) != kCopyMarkTag ||
      littleEndianAt(head, 4, 4) != kCopyMarkVersion) {
    return std::nullopt;
  }
  return tCopyMark{littleEndianAt(head, 8, 8), littleEndianAt(head, 16, 8)};
}

std::optional<tCopyMark> readCopyMark(int fd) {
  std::string head(kCopyMarkSize, '\0');
  if (!readFullyAt(fd, head.data(), head.size(), 0)) return std::nullopt;
  return decodeCopyMark(head);
}

std::optional<tCopyMark> digestOfFile(int fd) {
  // FNV-1a over 64-bit words, the last one padded with zeros, with the size
  // kept beside it: cheap enough for a copy that is rare, and no accident
  // gives another file of the same size the same digest.
  constexpr std::uint64_t kPrime = 0x100000001B3;
  // A whole number of words, so that no word straddles two pieces.
  constexpr std::uint64_t kPiece = std::uint64_t{128} * 1024;
  struct stat file {};
  if (::fstat(fd, &file) != 0 || file.st_size < 0) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(file.st_size);
  std::uint64_t digest = 0xCBF29CE484222325;
  auto piece = std::make_unique_for_overwrite<char[]>(kPiece);
  for (std::uint64_t offset = 0; offset < size;) {
    const auto count = static_cast<std::size_t>(std::min(kPiece, size - offset));
    // A file that ends before the size fstat gave is not the one measured.
    if (!readFullyAt(fd, piece.get(), count, static_cast<long>(offset))) return std::nullopt;
    for (std::size_t at = 0; at < count; at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, piece.get() + at, std::min<std::size_t>(8, count - at));
      digest = (digest ^ word) * kPrime;
    }
    offset += count;
  }
  return tCopyMark{size, digest};
}

}  // namespace nDRAVI100
