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
// How the file is loaded, saved and recovered: tMapFileAccess.cc.
#include "persistentStorage/tMapFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

namespace nDRAVI100 {

namespace {

constexpr std::uint32_t kMagic = 0x646D6620;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint64_t kHeaderSize = 8;

// A stored length is believed only as far as the bytes that follow bear it
// out: strings are read in pieces of this size, so the memory a record takes
// grows with the bytes that arrive, never with the length it claims.
constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

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

// Reads a map file's fields from a stream and counts the bytes it took, so
// that a damaged file can be described by where it ends.
class tFieldReader {
 public:
  explicit tFieldReader(std::FILE* stream) : in(stream) {}

  std::uint64_t offset() const { return consumed; }

  bool word(std::uint32_t& value) {
    std::array<unsigned char, 4> bytes{};
    if (!read(bytes.data(), bytes.size())) return false;
    value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
  }

  // Reads a length and that many bytes into the reused `buffer`, and returns
  // them up to their first NUL.
  bool string(std::string& text) {
    std::uint32_t length = 0;
    if (!word(length)) return false;
    buffer.clear();
    std::size_t remaining = length;
    while (remaining > 0) {
      const std::size_t piece = std::min(remaining, kReadPiece);
      const std::size_t start = buffer.size();
      buffer.resize(start + piece);
      if (!read(buffer.data() + start, piece)) return false;
      remaining -= piece;
    }
    text.assign(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
    return true;
  }

 private:
  bool read(void* bytes, std::size_t count) {
    const std::size_t got = std::fread(bytes, 1, count, in);
    consumed += got;
    return got == count;
  }

  std::FILE* in;
  std::uint64_t consumed = 0;
  std::string buffer;
};

// Reads one section into `map`, keeping the whole records it reads. Returns
// false when the section ends early; `start` is then where the count or the
// record that could not be read begins.
bool readSection(tFieldReader& reader, tClassNameMap& map, std::uint64_t& start,
                 const char*& problem) {
  start = reader.offset();
  std::uint32_t count = 0;
  if (!reader.word(count)) {
    problem = "file ends inside a section's count";
    return false;
  }
  std::string key;
  std::string value;
  for (std::uint32_t record = 0; record < count; ++record) {
    start = reader.offset();
    if (!reader.string(key) || !reader.string(value)) {
      problem = "file ends inside a record";
      return false;
    }
    map.insert_or_assign(key, value);
  }
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
  tFieldReader reader(in);
  std::uint64_t start = 0;
  const char* problem = "";
  if (readSection(reader, map, start, problem)) return;
  raiseError(status, nCode::kMapFileTooShort);
  map.clear();
}

void writeMapFileContents(std::FILE* out, const tClassNameMap& first, const tClassNameMap* second,
                          tStatus& status) {
  if (isError(status)) return;
  if (!writeWord(out, kMagic, status) || !writeWord(out, kVersion, status)) return;
  writeMap(first, out, status);
  if (second != nullptr) writeMap(*second, out, status);
}

tMapFileScan scanMapFile(std::FILE* in, tClassNameMap& first, tClassNameMap* second) {
  tMapFileScan scan;
  tFieldReader reader(in);
  auto stop = [&](tStatus code, std::uint64_t offset, std::string problem) {
    scan.code = code;
    scan.offset = offset;
    scan.problem = std::move(problem);
    if (std::ferror(in) != 0) {
      scan.readFailed = true;
      scan.readError = errno;
    }
    return scan;
  };

  std::uint32_t word = 0;
  if (!reader.word(word)) return stop(-nCode::kMapFileTooShort, 0, "file ends inside the magic");
  if (word != kMagic) return stop(-nCode::kBadMagic, 0, "wrong magic: not a map file");
  if (!reader.word(word)) return stop(-nCode::kMapFileTooShort, 4, "file ends inside the version");
  if (word != kVersion) {
    return stop(-nCode::kBadVersion, 4, "unsupported version " + std::to_string(word));
  }
  for (tClassNameMap* map : {&first, second}) {
    if (map == nullptr) continue;
    std::uint64_t start = 0;
    const char* problem = "";
    if (!readSection(reader, *map, start, problem)) {
      return stop(-nCode::kMapFileTooShort, start, problem);
    }
    ++scan.wholeSections;
  }
  scan.offset = reader.offset();
  return scan;
}

void readMapFileContents(std::FILE* in, tClassNameMap& first, tClassNameMap* second,
                         tStatus& status) {
  if (isError(status)) return;
  const tMapFileScan scan = scanMapFile(in, first, second);
  if (scan.code == 0) return;
  raiseError(status, -scan.code);
  // A section that ends early is emptied, as readMap does; a whole section
  // before it keeps what it read.
  if (scan.code == -nCode::kMapFileTooShort && scan.wholeSections < 2) {
    tClassNameMap* failed = scan.wholeSections == 0 ? &first : second;
    if (failed != nullptr && scan.offset >= kHeaderSize) failed->clear();
  }
}

}  // namespace nDRAVI100
