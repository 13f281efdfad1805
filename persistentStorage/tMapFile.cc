// The map file.
//
// A map file holds the persistent maps of one bitness: "dravimap" for 32-bit
// libraries, "dravimap64" for 64-bit ones, in the map directory. Every
// integer is an unsigned 32-bit little-endian value, and fields follow one
// another without padding; there is no trailer and no checksum.
//
//   offset 0  magic    the bytes 20 66 6D 64 (" fmd"), 0x646D6620 as a value
//   offset 4  version  1
//   offset 8  a map section for uMap, then one for kMap (for the kinds that
//             usesUKMaps names; any other kind's file holds one for sMap)
//
// A map section is a count, then that many records, in ascending key order:
//
//   key length    the class name's length + 1
//   key           the class name's bytes and one NUL
//   value length  the library path's length + 1
//   value         the library path's bytes and one NUL
//
// An empty map is a count of 0. A string ends at the first NUL of its bytes;
// a record this tool never writes (a length of 0, or bytes without a NUL) is
// read as the bytes it has. Of two records with the same key the later wins.
// Bytes after the last section are never read.
//
// Example: uMap binding "A" to "lib.so" and an empty kMap are 33 bytes:
//   20 66 6D 64  01 00 00 00
//   01 00 00 00  02 00 00 00 41 00  07 00 00 00 6C 69 62 2E 73 6F 00
//   00 00 00 00
//
// The file is never written in place: a save writes a temporary file beside
// it, syncs it and renames it over the map file, so that a crash at any
// moment leaves the old maps or the new ones. A save whose maps are all
// empty removes the file instead.
#include "persistentStorage/tMapFile.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "persistentStorage/tReplacementFile.h"

namespace nDRAVI100 {

namespace {

constexpr std::uint32_t kMagic = 0x646D6620;
constexpr std::uint32_t kVersion = 1;

// A stored length is believed only as far as the bytes that follow bear it
// out: strings are read in pieces of this size, so the memory a record takes
// grows with the bytes that arrive, never with the length it claims.
constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

constexpr std::size_t kCopyPiece = 256;

// Returns true when a failed call's errno says the file is simply not there,
// neither it nor, perhaps, its directory.
bool isMissing(int error) { return error == ENOENT || error == ENOTDIR; }

bool writeBytes(std::FILE* out, const void* bytes, std::size_t count, tStatus& status) {
  if (std::fwrite(bytes, 1, count, out) == count) return true;
  raiseError(status, nCode::kCannotWrite);
  return false;
}

bool writeWord(std::FILE* out, std::uint32_t value, tStatus& status) {
  const std::array<unsigned char, 4> bytes = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return writeBytes(out, bytes.data(), bytes.size(), status);
}

bool writeString(std::FILE* out, const std::string& text, tStatus& status) {
  // The NUL that c_str() guarantees is the record's terminating byte.
  return writeWord(out, static_cast<std::uint32_t>(text.size() + 1), status) &&
         writeBytes(out, text.c_str(), text.size() + 1, status);
}

bool readWord(std::FILE* in, std::uint32_t& value) {
  std::array<unsigned char, 4> bytes{};
  if (std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) return false;
  value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
          static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return true;
}

// Reads `length` bytes into `buffer`, which keeps its room from record to
// record, and returns them up to their first NUL.
bool readString(std::FILE* in, std::string& buffer, std::string& text) {
  std::uint32_t length = 0;
  if (!readWord(in, length)) return false;
  buffer.clear();
  std::size_t remaining = length;
  while (remaining > 0) {
    const std::size_t piece = std::min(remaining, kReadPiece);
    const std::size_t start = buffer.size();
    buffer.resize(start + piece);
    if (std::fread(buffer.data() + start, 1, piece, in) != piece) return false;
    remaining -= piece;
  }
  text.assign(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
  return true;
}

}  // namespace

bool usesUKMaps(tOS os) {
  return os == tFileSystemAdapter::kOS0 || os == tFileSystemAdapter::kLinux ||
         os == tFileSystemAdapter::kOS4;
}

bool fitsMapFileFormat(const tClassNameMap& map) {
  constexpr std::size_t kMostWords = std::numeric_limits<std::uint32_t>::max();
  if (map.size() > kMostWords) return false;
  return std::all_of(map.begin(), map.end(), [](const auto& binding) {
    return binding.first.size() < kMostWords && binding.second.size() < kMostWords;
  });
}

void writeMap(const tClassNameMap& map, std::FILE* out, tStatus& status) {
  if (isError(status)) return;
  if (!writeWord(out, static_cast<std::uint32_t>(map.size()), status)) return;
  for (const auto& [className, libraryPath] : map) {
    if (!writeString(out, className, status) || !writeString(out, libraryPath, status)) return;
  }
}

void readMap(tClassNameMap& map, std::FILE* in, tStatus& status) {
  if (isError(status)) return;
  std::uint32_t count = 0;
  if (!readWord(in, count)) {
    raiseError(status, nCode::kMapFileTooShort);
    return;
  }
  std::string buffer;
  std::string key;
  std::string value;
  for (std::uint32_t record = 0; record < count; ++record) {
    if (!readString(in, buffer, key) || !readString(in, buffer, value)) {
      raiseError(status, nCode::kMapFileTooShort);
      map.clear();
      return;
    }
    map.insert_or_assign(key, value);
  }
}

void writeMapFileContents(std::FILE* out, const tClassNameMap& first, const tClassNameMap* second,
                          tStatus& status) {
  if (isError(status)) return;
  if (!writeWord(out, kMagic, status) || !writeWord(out, kVersion, status)) return;
  writeMap(first, out, status);
  if (second != nullptr) writeMap(*second, out, status);
}

void readMapFileContents(std::FILE* in, tClassNameMap& first, tClassNameMap* second,
                         tStatus& status) {
  if (isError(status)) return;
  std::uint32_t word = 0;
  if (!readWord(in, word)) return raiseError(status, nCode::kMapFileTooShort);
  if (word != kMagic) return raiseError(status, nCode::kBadMagic);
  if (!readWord(in, word)) return raiseError(status, nCode::kMapFileTooShort);
  if (word != kVersion) return raiseError(status, nCode::kBadVersion);
  readMap(first, in, status);
  if (second != nullptr) readMap(*second, in, status);
}

void copyFile(const std::string& source, const std::string& destination, tStatus& status) {
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (in == nullptr) return raiseError(status, nCode::kCannotOpen);
  std::FILE* out = std::fopen(destination.c_str(), "wb");
  if (out == nullptr) {
    (void)std::fclose(in);
    return raiseError(status, nCode::kCannotOpen);
  }
  std::array<char, kCopyPiece> piece{};
  bool failed = false;
  while (!failed) {
    const std::size_t count = std::fread(piece.data(), 1, piece.size(), in);
    failed = std::ferror(in) != 0 || std::fwrite(piece.data(), 1, count, out) != count ||
             std::ferror(out) != 0;
    if (std::feof(in) != 0) break;
  }
  // The copy stands in for an atomic rename, so it must reach the disk before
  // the run reports success.
  if (!failed && (std::fflush(out) != 0 || ::fsync(::fileno(out)) != 0)) failed = true;
  if (std::fclose(out) != 0) failed = true;
  (void)std::fclose(in);
  if (failed) raiseError(status, nCode::kCopyFailed);
}

std::string tClassMapStore::mapFilePath(tOS os, tStatus& status) const {
  std::string directory = tFileSystemAdapter::getDRAVIMapDirectory(os, status);
  if (isError(status)) return std::string();
  return directory + (is64Bit != 0 ? "/dravimap64" : "/dravimap");
}

tClassMapStore::tLoadResult tClassMapStore::loadMapFile(tOS os, tStatus& status) {
  if (isError(status) || os == tFileSystemAdapter::kOS1 || os == tFileSystemAdapter::kOS3) {
    return tLoadResult::absent;
  }
  const std::string path = mapFilePath(os, status);
  if (isError(status)) return tLoadResult::absent;

  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    if (isMissing(errno)) return tLoadResult::absent;
    // The file is there but out of reach: treating it as empty would let
    // the save replace every binding in it.
    raiseError(status, nCode::kCannotOpen);
    return tLoadResult::failed;
  }
  const bool ukMaps = usesUKMaps(os);
  readMapFileContents(in, ukMaps ? uMap : sMap, ukMaps ? &kMap : nullptr, status);
  // A short file is damaged; a read that failed says nothing about the file.
  const bool readFailed = std::ferror(in) != 0;
  if (std::fclose(in) != 0) {
    raiseError(status, nCode::kCannotClose);
    return tLoadResult::failed;
  }
  if (!isError(status)) return tLoadResult::loaded;
  return readFailed ? tLoadResult::failed : tLoadResult::damaged;
}

void tClassMapStore::loadOrResetMapFile(tOS os, tStatus& status) {
  if (isError(status)) return;
  if (loadMapFile(os, status) != tLoadResult::damaged) return;

  tStatus fresh = 0;
  const std::string path = mapFilePath(os, fresh);
  if (isError(fresh)) return;
  // The damaged file is dropped; if it cannot be removed, the next save
  // replaces it anyway.
  (void)std::remove(path.c_str());
  if (usesUKMaps(os)) {
    uMap.clear();
    kMap.clear();
  } else {
    sMap.clear();
  }
  status = 0;
}

void tClassMapStore::saveAllMapFiles(tStatus& status) {
  if (isError(status)) return;
  for (tOS os : osList) saveMapFile(os, status);
}

void tClassMapStore::saveMapFile(tOS os, tStatus& status) {
  if (isError(status) || os == tFileSystemAdapter::kOS1 || os == tFileSystemAdapter::kOS3) return;
  const bool ukMaps = usesUKMaps(os);
  const tClassNameMap& first = ukMaps ? uMap : sMap;
  const tClassNameMap* second = ukMaps ? &kMap : nullptr;

  const std::string path = mapFilePath(os, status);
  if (isError(status)) return;

  if (first.empty() && (second == nullptr || second->empty())) {
    (void)::unlink(tReplacementFile::temporaryPathFor(path).c_str());
    // Empty maps are stored as no file; a file that stays would bring the
    // old bindings back in the next run.
    if (std::remove(path.c_str()) != 0 && !isMissing(errno)) {
      raiseError(status, nCode::kCannotWrite);
    } else {
      tReplacementFile::syncParentDirectory(path);
    }
    return;
  }
  if (!fitsMapFileFormat(first) || (second != nullptr && !fitsMapFileFormat(*second))) {
    return raiseError(status, nCode::kCannotWrite);
  }

  tReplacementFile replacement(path, status);
  if (isError(status)) return;
  writeMapFileContents(replacement.stream(), first, second, status);
  replacement.finishWriting(status);
  replacement.commit(status);
}

}  // namespace nDRAVI100
