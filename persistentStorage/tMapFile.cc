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
// Bytes after the last section hold no binding; a file that has any is
// not as this tool writes it, and the next save drops them.
//
// Example: uMap binding "A" to "lib.so" and an empty kMap are 33 bytes:
//   20 66 6D 64  01 00 00 00
//   01 00 00 00  02 00 00 00 41 00  07 00 00 00 6C 69 62 2E 73 6F 00
//   00 00 00 00
//
// The copy mark. Where a save cannot rename its temporary file over the map
// file, it copies the temporary file's bytes in place, and first writes
// over the map file's head a mark that names those bytes:
//
//   offset 0   the bytes 7F 63 70 79 ("\x7F" "cpy"), which are not the magic
//   offset 4   FF FF FF FF, a version no map file has
//   offset 8   the temporary file's size, 64-bit little-endian
//   offset 16  the digest of its bytes (see digestOfFile), 64-bit
//
// The copy writes the head of the new content over the mark last. A map file
// that carries the mark is a copy that began and did not finish, and it can
// be finished only from the temporary file whose size and digest it names.
// Damage cannot make a mark: a stray write or a cut file would have to
// write these 24 bytes, digest included, of a file beside it.
//
// How the file is loaded, saved and recovered: tMapFileAccess.cc.
#include "persistentStorage/tMapFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "persistentStorage/tRegularFile.h"

namespace nDRAVI100 {

namespace {

constexpr std::uint32_t kMagic = 0x646D6620;
constexpr std::uint32_t kCopyMarkTag = 0x7970637F;
constexpr std::uint32_t kCopyMarkVersion = 0xFFFFFFFF;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint64_t kHeaderSize = kMapFileHeadSize;

// A stored length is believed only as far as the bytes that follow bear it
// out: the reader asks for at most this many bytes beyond those it holds, so
// the memory a record takes grows with the bytes that arrive, never with the
// length it claims.
constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

// The writer hands the descriptor this many bytes at a time: a map of a million
// bindings costs about a hundred system calls instead of four library calls
// per field, and no buffer the size of the file.
constexpr std::size_t kBulkPiece = std::size_t{1024} * 1024;

// The map file's own descriptor is read this many bytes at a time: few
// enough that a piece is still in the processor's cache while it is
// decoded, and many enough that a million bindings cost a few hundred
// system calls.
constexpr std::size_t kReadAhead = std::size_t{128} * 1024;

// The high bit of each zero byte of `word`, and no other bit: (b & 0x7F) +
// 0x7F reaches the high bit for every byte b but 0 and 0x80, and or-ing b
// in catches 0x80; no carry crosses into the next byte.
template <typename Word>
constexpr Word zeroByteBits(Word word) {
  constexpr Word kLows = static_cast<Word>(0x7F7F7F7F7F7F7F7FU);
  return static_cast<Word>(~(((word & kLows) + kLows) | word | kLows));
}

// Returns how many of the four bytes of `value` are zero.
constexpr std::uint32_t zeroBytesOf(std::uint32_t value) {
  return ((zeroByteBits(value) >> 7) * 0x01010101U) >> 24;
}

// Returns how many of the `count` bytes at `bytes` are zero. Sixteen
// byte-wide counters, each of which cannot overflow within a block, are a
// loop the compiler turns into vector instructions.
std::uint64_t zeroBytesIn(const char* bytes, std::size_t count) {
  constexpr std::size_t kLanes = 16;
  constexpr std::size_t kBlock = 255 * kLanes;
  std::uint64_t zeros = 0;
  for (std::size_t block = 0; block < count; block += kBlock) {
    const std::size_t end = std::min(count, block + kBlock);
    std::array<std::uint8_t, kLanes> lanes{};
    std::size_t at = block;
    for (; at + kLanes <= end; at += kLanes) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        lanes[lane] = static_cast<std::uint8_t>(lanes[lane] + (bytes[at + lane] == '\0' ? 1 : 0));
      }
    }
    for (const std::uint8_t lane : lanes) zeros += lane;
    for (; at < end; ++at) zeros += bytes[at] == '\0' ? 1 : 0;
  }
  return zeros;
}

// Where tFieldReader gets its bytes.
class tByteSource {
 public:
  virtual ~tByteSource() = default;
  // Puts at least one and at most `room` bytes at `into` and returns how
  // many; returns 0 at the end of the bytes or when reading fails.
  virtual std::size_t pull(char* into, std::size_t room) = 0;
  // How many bytes may be asked for beyond those the reader needs now.
  virtual std::size_t readAhead() const = 0;
  // How many bytes the whole source holds, when that is known; else 0.
  virtual std::uint64_t knownSize() const = 0;
  // Returns true when reading failed, with its errno in `error`.
  virtual bool failed(int& error) const = 0;
};

class tDescriptorSource final : public tByteSource {
 public:
  explicit tDescriptorSource(int descriptor) : fd(descriptor) {
    // Only a hint, for sizes: without it the reader reads as it would.
    struct stat file {};
    if (::fstat(fd, &file) == 0 && S_ISREG(file.st_mode))
      size = static_cast<std::uint64_t>(file.st_size);
  }
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
  std::uint64_t knownSize() const override { return size; }
  bool failed(int& errorOut) const override {
    errorOut = error;
    return error != 0;
  }

 private:
  int fd;
  int error = 0;
  std::uint64_t size = 0;
};

// Reads a map file's fields from a source and counts the bytes it took, so
// that a damaged file can be described by where it ends. Fields are decoded
// in place from a buffer that the source fills.
class tFieldReader {
 public:
  // With `countZeros`, the zero bytes of everything read are counted, for
  // zerosAsWritten.
  explicit tFieldReader(tByteSource& from, bool countZeros = false)
      : source(from), countingZeros(countZeros) {}

  std::uint64_t offset() const { return consumed; }

  // Returns how many more records of at least `smallest` bytes the source
  // can hold, or 0 when its size is not known.
  std::uint64_t roomFor(std::uint64_t smallest) const {
    const std::uint64_t size = source.knownSize();
    return size > consumed ? (size - consumed) / smallest : 0;
  }

  // Returns true when the source holds nothing more.
  bool atEnd() { return filled == position && !need(1); }

  bool word(std::uint32_t& value) {
    if (!need(4)) return false;
    value = wordAt(position);
    zerosKnown += zeroBytesOf(value);
    take(4);
    return true;
  }

  // Reads past `count` records without keeping them, for a caller that only
  // checks a file, and returns false when the source ends first; `start` is
  // then where the record that could not be read begins. While `asWritten`
  // holds, checks that each record is one the writer would write where it
  // stands, as readSection does for a kept record, and clears it otherwise.
  // That no string holds a NUL before its last byte is left to
  // zerosAsWritten: counting zeros is cheaper than looking for them.
  bool skipRecords(std::uint32_t count, std::uint64_t& start, bool& asWritten) {
    std::size_t previousLength = 0;
    pinned = kNothingPinned;
    for (std::uint32_t record = 0; record < count; ++record) {
      start = consumed;
      if (!need(4)) return false;
      const std::uint32_t classLength = wordAt(position);
      const std::uint64_t classEnd = 4 + std::uint64_t{classLength};
      if (!needUpTo(classEnd + 4)) return false;
      const auto classBytes = static_cast<std::size_t>(classEnd);
      const std::uint32_t pathLength = wordAt(position + classBytes);
      const std::uint64_t pathEnd = classEnd + 4 + std::uint64_t{pathLength};
      if (!needUpTo(pathEnd)) return false;
      if (asWritten) {
        const char* className = buffer.get() + position + 4;
        zerosKnown += zeroBytesOf(classLength) + zeroBytesOf(pathLength) + 2;
        asWritten = classLength > 0 && pathLength > 0 && className[classLength - 1] == '\0' &&
                    buffer[position + static_cast<std::size_t>(pathEnd) - 1] == '\0' &&
                    (record == 0 || std::string_view(buffer.get() + pinned, previousLength) <
                                        std::string_view(className, classLength - 1));
        // The class stays in the buffer, pinned, until the next is read.
        pinned = position + 4;
        previousLength = classLength - 1;
      }
      take(static_cast<std::size_t>(pathEnd));
    }
    pinned = kNothingPinned;
    return true;
  }

  // Returns true when every zero byte read stands where the writer puts
  // one: in a count or a length, or as the NUL after a string. Then no
  // string holds a NUL before its end. Meaningful once the source is known
  // to be at its end.
  bool zerosAsWritten() const { return countingZeros && zerosRead == zerosKnown; }

  // Reads a record: a class name and its library path, each a length and
  // that many bytes, and returns each up to its first NUL. Both fields are
  // in the buffer before either is decoded, so a refill for the second
  // cannot move the first. The views hold until the next call.
  bool record(std::string_view& className, std::string_view& libraryPath, bool& asWritten) {
    // Two lengths of up to 4 GiB each add up past a 32-bit size_t: the ends
    // are reckoned in 64 bits, and a record no buffer could hold is one the
    // file does not have.
    if (!need(4)) return false;
    const std::uint64_t classEnd = 4 + std::uint64_t{wordAt(position)};
    if (!needUpTo(classEnd + 4)) return false;
    const auto classBytes = static_cast<std::size_t>(classEnd);
    const std::uint64_t pathEnd = classEnd + 4 + std::uint64_t{wordAt(position + classBytes)};
    if (!needUpTo(pathEnd)) return false;
    const auto pathBytes = static_cast<std::size_t>(pathEnd);
    className = upToNul(position + 4, position + classBytes);
    libraryPath = upToNul(position + classBytes + 4, position + pathBytes);
    // The writer puts exactly one NUL after each string, so a string that
    // ends before its last byte, or has no NUL, is one it never wrote.
    asWritten = className.size() + 5 == classBytes && buffer[position + classBytes - 1] == '\0' &&
                libraryPath.size() + 5 == pathBytes - classBytes &&
                buffer[position + pathBytes - 1] == '\0';
    take(pathBytes);
    return true;
  }

 private:
  std::uint32_t wordAt(std::size_t at) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.get() + at);
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }

  bool needUpTo(std::uint64_t end) {
    return end <= std::numeric_limits<std::size_t>::max() && need(static_cast<std::size_t>(end));
  }

  // The buffer's bytes [from, to) up to their first NUL.
  std::string_view upToNul(std::size_t from, std::size_t to) const {
    const char* start = buffer.get() + from;
    const auto* nul = static_cast<const char*>(std::memchr(start, '\0', to - from));
    return {start, nul != nullptr ? nul : buffer.get() + to};
  }

  void take(std::size_t count) {
    position += count;
    consumed += count;
  }

  // Makes `count` bytes available from `position` on; false when the source
  // ends first.
  bool need(std::size_t count) {
    while (filled - position < count) {
      // The pinned bytes, taken already, move with those still to come.
      const std::size_t from = std::min(position, pinned);
      const std::size_t held = filled - from;
      const std::size_t missing = count - (filled - position);
      std::size_t ask = std::max(std::min(missing, kReadPiece), source.readAhead());
      // A buffer that can hold the field is refilled, not grown.
      if (held + missing <= capacity) ask = std::min(ask, capacity - held);
      if (held + ask > capacity) {
        const std::size_t grown = std::max(held + ask, capacity * 2);
        // Not value-initialized: pages the source never fills cost no memory.
        auto larger = std::make_unique_for_overwrite<char[]>(grown);
        if (held > 0) std::memcpy(larger.get(), buffer.get() + from, held);
        buffer = std::move(larger);
        capacity = grown;
      } else if (held > 0) {
        std::memmove(buffer.get(), buffer.get() + from, held);
      }
      position -= from;
      if (pinned != kNothingPinned) pinned -= from;
      filled = held;
      const std::size_t got = source.pull(buffer.get() + filled, ask);
      if (got == 0) return false;
      if (countingZeros) zerosRead += zeroBytesIn(buffer.get() + filled, got);
      filled += got;
    }
    return true;
  }

  static constexpr std::size_t kNothingPinned = static_cast<std::size_t>(-1);

  tByteSource& source;
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::size_t pinned = kNothingPinned;  // bytes from here on outlive a refill
  bool countingZeros = false;
  std::uint64_t zerosRead = 0;   // of every byte read, when countingZeros
  std::uint64_t zerosKnown = 0;  // of the bytes taken, where the writer puts a zero
  std::size_t position = 0;      // the first byte not yet taken
  std::size_t filled = 0;        // the end of the bytes the source put in
  std::uint64_t consumed = 0;
};

// Where tFieldWriter hands its bytes.
class tByteSink {
 public:
  virtual ~tByteSink() = default;
  // Takes `count` bytes; returns false when they cannot be taken, after
  // which nothing more is handed over.
  virtual bool take(const char* bytes, std::size_t count) = 0;
};

// Writes to a descriptor; the first write that fails raises -50208.
class tDescriptorSink final : public tByteSink {
 public:
  tDescriptorSink(int descriptor, tStatus& statusWord) : fd(descriptor), status(statusWord) {}
  bool take(const char* bytes, std::size_t count) override {
    if (writeFully(fd, bytes, count)) return true;
    raiseError(status, nCode::kCannotWrite);
    return false;
  }

 private:
  int fd;
  tStatus& status;
};

// Compares the bytes handed to it with what a descriptor holds next, so
// that a run can tell, without writing, whether saving would change the
// file.
class tComparingSink final : public tByteSink {
 public:
  explicit tComparingSink(int descriptor)
      : fd(descriptor), held(std::make_unique_for_overwrite<char[]>(kBulkPiece)) {}
  bool take(const char* bytes, std::size_t count) override {
    while (count > 0) {
      const std::size_t piece = std::min(count, kBulkPiece);
      if (!readFully(piece) || std::memcmp(held.get(), bytes, piece) != 0) return false;
      bytes += piece;
      count -= piece;
    }
    return true;
  }
  // Returns true when the descriptor holds nothing more.
  bool atEnd() { return !readFully(1); }

 private:
  bool readFully(std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
      const long read = readRetrying(fd, held.get() + got, count - got);
      if (read <= 0) return false;
      got += static_cast<std::size_t>(read);
    }
    return true;
  }

  int fd;
  std::unique_ptr<char[]> held;
};

// Gathers the bytes of a map file and hands them to a sink in large pieces.
// Once the sink refuses a piece, everything after it is dropped.
class tFieldWriter {
 public:
  explicit tFieldWriter(tByteSink& into)
      : sink(into),
        // Not value-initialized: pages a small map never fills cost nothing.
        buffer(std::make_unique_for_overwrite<char[]>(kBulkPiece)) {}

  bool word(std::uint32_t value) {
    const std::array<char, 4> bytes = {static_cast<char>(value), static_cast<char>(value >> 8),
                                       static_cast<char>(value >> 16),
                                       static_cast<char>(value >> 24)};
    return put(bytes.data(), bytes.size());
  }

  // Writes a length and the bytes of `text` with a NUL after them.
  bool string(std::string_view text) {
    return word(static_cast<std::uint32_t>(text.size() + 1)) && put(text.data(), text.size()) &&
           put("", 1);
  }

  // Hands over what is gathered.
  bool flush() {
    const bool taken = sink.take(buffer.get(), used);
    used = 0;
    return taken;
  }

 private:
  // Gathers `count` bytes with one comparison and a copy; a piece larger
  // than the buffer goes to the sink as it is.
  bool put(const char* bytes, std::size_t count) {
    if (count > kBulkPiece - used) {
      if (!flush()) return false;
      if (count > kBulkPiece) return sink.take(bytes, count);
    }
    std::memcpy(buffer.get() + used, bytes, count);
    used += count;
    return true;
  }

  tByteSink& sink;
  std::unique_ptr<char[]> buffer;
  std::size_t used = 0;
};

bool writeSection(tFieldWriter& writer, const tClassNameMap& map) {
  if (!writer.word(static_cast<std::uint32_t>(map.size()))) return false;
  for (const auto& [className, libraryPath] : map) {
    if (!writer.string(className) || !writer.string(libraryPath)) return false;
  }
  return true;
}

// Writes the header and the sections and hands everything over; false when
// the sink refused a piece.
bool writeWholeFile(tFieldWriter& writer, const tClassNameMap& first, const tClassNameMap* second) {
  if (!writer.word(kMagic) || !writer.word(kVersion) || !writeSection(writer, first)) return false;
  if (second != nullptr && !writeSection(writer, *second)) return false;
  return writer.flush();
}

// Reads one section into `map`, keeping the whole records it reads, or only
// checks it when `map` is null. Returns false when the section ends early;
// `start` is then where the count or the record that could not be read
// begins. Clears `asWritten` unless every record is one the writer would
// write, in the order it would write them.
bool readSection(tFieldReader& reader, tClassNameMap* map, std::uint64_t& start,
                 const char*& problem, bool& asWritten) {
  start = reader.offset();
  std::uint32_t count = 0;
  if (!reader.word(count)) {
    problem = "file ends inside a section's count";
    return false;
  }
  // Room for the records the file can really hold: growing the array one
  // doubling at a time would copy it and fault in its pages again and again.
  // A record is at least two lengths.
  if (map != nullptr) {
    map->reserve(map->size() +
                 static_cast<std::size_t>(std::min<std::uint64_t>(count, reader.roomFor(8))));
  }
  if (map == nullptr) {
    if (reader.skipRecords(count, start, asWritten)) return true;
    problem = "file ends inside a record";
    return false;
  }
  std::string_view className;
  std::string_view libraryPath;
  // The views die with the next record, so the class before is kept here.
  std::string previous;
  bool recordAsWritten = true;
  for (std::uint32_t record = 0; record < count; ++record) {
    start = reader.offset();
    if (!reader.record(className, libraryPath, recordAsWritten)) {
      problem = "file ends inside a record";
      return false;
    }
    if (asWritten) {
      // The writer's classes are unique and ascending.
      asWritten = recordAsWritten && (record == 0 || std::string_view(previous) < className);
      previous.assign(className);
    }
    // Of two records for the same class the later wins.
    map->assign(className, libraryPath);
  }
  return true;
}

// Reads a whole map file of `sections` sections from `source` into `first`
// and `second`, or only checks a section whose map is null; see
// scanMapFile.
tMapFileScan scanSource(tByteSource& source, int sections, tClassNameMap* first,
                        tClassNameMap* second, bool checkHead = true) {
  tMapFileScan scan;
  // Only a check counts zeros: a load finds each string's first NUL anyway.
  tFieldReader reader(source, first == nullptr);
  auto stop = [&](tStatus code, std::uint64_t offset, std::string problem) {
    scan.code = code;
    scan.offset = offset;
    scan.problem = std::move(problem);
    scan.readFailed = source.failed(scan.readError);
    return scan;
  };

  std::uint32_t word = 0;
  if (!reader.word(word)) return stop(-nCode::kMapFileTooShort, 0, "file ends inside the magic");
  if (checkHead && word != kMagic) return stop(-nCode::kBadMagic, 0, "wrong magic: not a map file");
  if (!reader.word(word)) return stop(-nCode::kMapFileTooShort, 4, "file ends inside the version");
  if (checkHead && word != kVersion) {
    return stop(-nCode::kBadVersion, 4, "unsupported version " + std::to_string(word));
  }
  bool asWritten = true;
  for (int section = 0; section < sections; ++section) {
    std::uint64_t start = 0;
    const char* problem = "";
    if (!readSection(reader, section == 0 ? first : second, start, problem, asWritten)) {
      return stop(-nCode::kMapFileTooShort, start, problem);
    }
    ++scan.wholeSections;
  }
  scan.offset = reader.offset();
  // The writer puts nothing after the last section.
  scan.asWritten = asWritten && reader.atEnd() && (first != nullptr || reader.zerosAsWritten());
  scan.readFailed = source.failed(scan.readError);
  return scan;
}

// Turns a scan into the word's code and empties the section that ended
// early; a whole section before it keeps what it read.
void settleScan(const tMapFileScan& scan, tClassNameMap& first, tClassNameMap* second,
                tStatus& status) {
  if (scan.code == 0) return;
  raiseError(status, -scan.code);
  if (scan.code == -nCode::kMapFileTooShort && scan.wholeSections < 2) {
    tClassNameMap* failed = scan.wholeSections == 0 ? &first : second;
    if (failed != nullptr && scan.offset >= kHeaderSize) failed->clear();
  }
}

}  // namespace

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
  std::uint64_t digest = 0xCBF29CE484222325;
  std::uint64_t size = 0;
  auto piece = std::make_unique_for_overwrite<char[]>(kReadAhead);
  for (bool atEnd = false; !atEnd;) {
    // Each piece is filled whole but for the last, so words never straddle two.
    std::size_t count = 0;
    while (count < kReadAhead) {
      const long got =
          ::pread(fd, piece.get() + count, kReadAhead - count, static_cast<long>(size + count));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return std::nullopt;
      if (got == 0) {
        atEnd = true;
        break;
      }
      count += static_cast<std::size_t>(got);
    }
    for (std::size_t at = 0; at < count; at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, piece.get() + at, std::min<std::size_t>(8, count - at));
      digest = (digest ^ word) * kPrime;
    }
    size += count;
  }
  return tCopyMark{size, digest};
}

bool usesUKMaps(tOS os) {
  return os == tFileSystemAdapter::kOS0 || os == tFileSystemAdapter::kLinux ||
         os == tFileSystemAdapter::kOS4;
}

bool fitsMapFileFormat(const tClassNameMap& map) {
  constexpr std::size_t kMostWords = std::numeric_limits<std::uint32_t>::max();
  if (map.size() > kMostWords) return false;
  return std::all_of(map.begin(), map.end(), [](const tBindingView& binding) {
    return binding.className.size() < kMostWords && binding.libraryPath.size() < kMostWords;
  });
}

void writeMapFileDescriptor(int fd, const tClassNameMap& first, const tClassNameMap* second,
                            tStatus& status) {
  if (isError(status)) return;
  tDescriptorSink sink(fd, status);
  tFieldWriter writer(sink);
  (void)writeWholeFile(writer, first, second);
}

std::uint64_t mapFileSize(const tClassNameMap& first, const tClassNameMap* second) {
  std::uint64_t size = kHeaderSize;
  for (const tClassNameMap* map : {&first, second}) {
    if (map == nullptr) continue;
    // A count, then per record two lengths and two strings with their NULs.
    size += 4;
    for (const auto& [className, libraryPath] : *map) {
      size += 10 + className.size() + libraryPath.size();
    }
  }
  return size;
}

bool descriptorHoldsMapFile(int fd, const tClassNameMap& first, const tClassNameMap* second) {
  tComparingSink sink(fd);
  tFieldWriter writer(sink);
  return writeWholeFile(writer, first, second) && sink.atEnd();
}

tMapFileScan scanMapFileDescriptor(int fd, int sections, tClassNameMap& first,
                                   tClassNameMap* second, bool checkHead) {
  tDescriptorSource source(fd);
  return scanSource(source, sections, &first, second, checkHead);
}

tMapFileScan readMapFileDescriptor(int fd, int sections, tClassNameMap* first,
                                   tClassNameMap* second, tStatus& status) {
  if (isError(status)) return {};
  tDescriptorSource source(fd);
  tMapFileScan scan = scanSource(source, sections, first, second);
  if (scan.readFailed) {
    raiseError(status, nCode::kMapFileTooShort);
  } else if (first != nullptr) {
    settleScan(scan, *first, second, status);
  } else if (scan.code != 0) {
    raiseError(status, -scan.code);
  }
  return scan;
}

}  // namespace nDRAVI100
