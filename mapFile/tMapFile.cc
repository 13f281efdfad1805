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
#include "mapFile/tMapFile.h"

#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "os/tLargeAllocator.h"
#include "os/tRegularFile.h"

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

// The writer hands the descriptor up to this many bytes at a time: a map of
// a million bindings costs about a hundred system calls instead of four
// library calls per field, and no buffer the size of the file. Its buffer
// starts at kFirstPiece and doubles each time a map fills it: a buffer of
// a mebibyte, mapped, faulted in and unmapped, cost a small map more than
// the rest of its save.
constexpr std::size_t kBulkPiece = std::size_t{1024} * 1024;
constexpr std::size_t kFirstPiece = std::size_t{64} * 1024;

// Bytes that stand in the file image as they are to be written go to the
// descriptor straight from the image from this many on; fewer are gathered
// with the rest.
constexpr std::size_t kDirectRun = std::size_t{64} * 1024;

// The map file's own descriptor is read this many bytes at a time when it
// is only checked: few enough that a piece is still in the processor's
// cache while it is walked, and many enough that a million bindings cost a
// few hundred system calls.
constexpr std::size_t kReadAhead = std::size_t{128} * 1024;

// The high bit of each zero byte of `word`, and no other bit: (b & 0x7F) +
// 0x7F reaches the high bit for every byte b but 0 and 0x80, and or-ing b
// in catches 0x80; no carry crosses into the next byte.
constexpr std::uint64_t zeroByteBits(std::uint64_t word) {
  constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FU;
  return ~(((word & kLows) + kLows) | word | kLows);
}

// Returns how many of the eight bytes of `word` are zero: each zero byte's
// high bit, moved to its low bit and summed by one multiplication into the
// top byte.
constexpr std::uint32_t zeroBytesOf(std::uint64_t word) {
  return static_cast<std::uint32_t>(((zeroByteBits(word) >> 7) * 0x0101010101010101U) >> 56);
}

// Returns how many of the `count` bytes at `bytes` are zero: a check of a
// large map counts the zeros of every piece it reads, at the speed of
// memory, instead of looking for a NUL in each of its strings. On x86-64,
// whose every processor has SSE2, 64 bytes a round into byte-wide counters
// that are summed before they can overflow; elsewhere sixteen byte-wide
// counters in a loop that compilers turn into vector instructions.
std::uint64_t zeroBytesIn(const char* bytes, std::size_t count) {
  std::uint64_t zeros = 0;
  std::size_t at = 0;
#if defined(__SSE2__)
  const __m128i none = _mm_setzero_si128();
  const auto zerosOf = [&](std::size_t from) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + from)), none);
  };
  // Four counters, so that each block's count does not wait for the last.
  while (count - at >= 64) {
    __m128i lanes[4] = {none, none, none, none};
    // 255 rounds at most, so that no byte-wide counter wraps.
    const std::size_t end = at + std::min<std::size_t>((count - at) / 64, 255) * 64;
    for (; at < end; at += 64) {
      lanes[0] = _mm_sub_epi8(lanes[0], zerosOf(at));
      lanes[1] = _mm_sub_epi8(lanes[1], zerosOf(at + 16));
      lanes[2] = _mm_sub_epi8(lanes[2], zerosOf(at + 32));
      lanes[3] = _mm_sub_epi8(lanes[3], zerosOf(at + 48));
    }
    for (const __m128i& lane : lanes) {
      const __m128i sums = _mm_sad_epu8(lane, none);
      zeros += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
  }
#else
  constexpr std::size_t kLanes = 16;
  while (count - at >= kLanes) {
    std::array<std::uint8_t, kLanes> lanes{};
    const std::size_t end = at + std::min<std::size_t>((count - at) / kLanes, 255) * kLanes;
    for (; at < end; at += kLanes) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        lanes[lane] = static_cast<std::uint8_t>(lanes[lane] + (bytes[at + lane] == '\0' ? 1 : 0));
      }
    }
    for (const std::uint8_t lane : lanes) zeros += lane;
  }
#endif
  for (; at < count; ++at) zeros += bytes[at] == '\0' ? 1 : 0;
  return zeros;
}

// Returns true when none of the `count` bytes at `bytes` is zero, eight at
// a time: a call to memchr for each of two million short strings cost more
// than reading them. A last word that would reach past the bytes is the
// last eight of them instead, read again in part.
inline bool holdsNoNul(const char* bytes, std::size_t count) {
#if defined(__SSE2__)
  // Sixteen at a time where there are that many, the last sixteen read
  // again in part rather than past the string.
  if (count >= 16) {
    const __m128i none = _mm_setzero_si128();
    const auto zerosAt = [&](std::size_t at) {
      return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at)), none);
    };
    __m128i zeros = zerosAt(count - 16);
    for (std::size_t at = 0; at + 16 < count; at += 16) zeros = _mm_or_si128(zeros, zerosAt(at));
    return _mm_movemask_epi8(zeros) == 0;
  }
#endif
  std::uint64_t word = 0;
  if (count < 8) {
    for (std::size_t at = 0; at < count; ++at) {
      if (bytes[at] == '\0') return false;
    }
    return true;
  }
  std::uint64_t zeros = 0;
  for (std::size_t at = 0; at + 8 < count; at += 8) {
    std::memcpy(&word, bytes + at, 8);
    zeros |= zeroByteBits(word);
  }
  std::memcpy(&word, bytes + count - 8, 8);
  return (zeros | zeroByteBits(word)) == 0;
}

// Returns true when the `length` bytes at `bytes` are a string as the
// writer puts it: its bytes, none of them NUL, then one NUL.
inline bool isWrittenString(const char* bytes, std::uint32_t length) {
  return length > 0 && bytes[length - 1] == '\0' && holdsNoNul(bytes, length - 1);
}

// Returns true when the class of `leftSize` bytes at `left` sorts before the
// one of `rightSize` bytes at `right`, for a check: each is followed by its
// NUL, and `right` lies after `left` in a buffer that ends at `limit`. The
// NUL after the shorter class ends the comparison, since it sorts before
// every byte; a NUL inside a class makes the answer meaningless, but such a
// file fails the check by its count of zeros anyway. Sixteen bytes a step
// where the buffer has them: the check compares a million neighbours that
// share most of their bytes.
inline bool writtenClassBefore(const char* left, std::size_t leftSize, const char* right,
                               std::size_t rightSize, const char* limit) {
  const std::size_t compared = std::min(leftSize, rightSize) + 1;
  std::size_t at = 0;
#if defined(__SSE2__)
  while (at < compared && 16 <= limit - (right + at)) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + at));
    const auto differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) & 0xFFFFU;
    if (differ != 0) {
      const std::size_t first = at + static_cast<std::size_t>(__builtin_ctz(differ));
      return first < compared &&
             static_cast<unsigned char>(left[first]) < static_cast<unsigned char>(right[first]);
    }
    at += 16;
  }
#else
  (void)limit;
#endif
  for (; at < compared; ++at) {
    if (left[at] != right[at]) {
      return static_cast<unsigned char>(left[at]) < static_cast<unsigned char>(right[at]);
    }
  }
  return false;
}

// Where tFieldReader gets its bytes when it streams them.
class tByteSource {
 public:
  virtual ~tByteSource() = default;
  // Puts at least one and at most `room` bytes at `into` and returns how
  // many; returns 0 at the end of the bytes or when reading fails.
  virtual std::size_t pull(char* into, std::size_t room) = 0;
  // How many bytes may be asked for beyond those the reader needs now.
  virtual std::size_t readAhead() const = 0;
  // Returns true when reading failed, with its errno in `error`.
  virtual bool failed(int& error) const = 0;
};

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

// A whole file read into memory that maps can share: the maps loaded from
// it view their strings in it instead of copying them, and a save writes
// the records that it still holds as they stand.
struct tFileImage {
  std::shared_ptr<const char> owner;
  std::string_view bytes;
  int error = 0;  // errno of a failed read; the bytes then say nothing
};

// Reads everything `fd` holds from its offset on into one block, sized by
// fstat and grown should the file be longer, from allocateLarge: the same
// memory as a map's own large arrays, in huge pages where it is large.
tFileImage readFileImage(int fd) {
  struct tFree {
    void operator()(const char* block) const { std::free(const_cast<char*>(block)); }
  };
  // One byte more than the file has, so that its end is seen by a read
  // that returns nothing, not by one more allocation.
  std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(
                             sizeHint(fd), std::numeric_limits<std::size_t>::max() - 1)) +
                         1;
  std::unique_ptr<char, tFree> block(static_cast<char*>(allocateLarge(capacity, capacity)));
  std::size_t filled = 0;
  tFileImage image;
  for (;;) {
    if (filled == capacity) {
      // The file grew since fstat: the caller's own fstat sees it too.
      const std::size_t larger = capacity * 2;
      std::unique_ptr<char, tFree> grown(static_cast<char*>(allocateLarge(larger, larger)));
      std::memcpy(grown.get(), block.get(), filled);
      block = std::move(grown);
      capacity = larger;
    }
    const long got = readRetrying(fd, block.get() + filled, capacity - filled);
    if (got < 0) image.error = errno;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  image.bytes = {block.get(), filled};
  image.owner = std::shared_ptr<const char>(block.release(), tFree{});
  return image;
}

// Reads a map file's fields and counts the bytes it took, so that a damaged
// file can be described by where it ends. Fields are decoded in place:
// from a buffer that a source fills piece by piece, or from a file image.
class tFieldReader {
 public:
  // With `countZeros`, the zero bytes of everything read are counted, for
  // zerosAsWritten.
  explicit tFieldReader(tByteSource& from, bool countZeros = false)
      : source(&from), countingZeros(countZeros) {}
  // Reads `image`, which outlives the reader, and whatever it views.
  explicit tFieldReader(std::string_view image)
      : bytes(image.data()), capacity(image.size()), filled(image.size()) {}

  std::uint64_t offset() const { return consumed; }

  // Returns how many more records of at least `smallest` bytes the bytes
  // can hold, or 0 when their size is not known.
  std::uint64_t roomFor(std::uint64_t smallest) const {
    return source == nullptr ? (filled - position) / smallest : 0;
  }

  // Returns true when the source holds nothing more.
  bool atEnd() { return filled == position && !need(1); }

  bool word(std::uint32_t& value) {
    if (!need(4)) return false;
    value = wordAt(position);
    // The high half of the word is zero: four zero bytes that are not read.
    zerosKnown += zeroBytesOf(value) - 4;
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
    std::size_t previousAt = kNothingPinned;
    std::uint32_t record = 0;
    while (record < count) {
      // The records wholly in the buffer are walked with local copies of
      // the reader's state: a byte read through a char pointer might, for
      // all the compiler knows, be one of its members, which it would then
      // load and store again for every record.
      const char* const buffer = bytes;
      const std::size_t end = filled;
      std::size_t at = position;
      std::uint64_t zeros = 0;
      bool written = asWritten;
      for (; record < count && end - at >= 8; ++record) {
        const std::uint32_t classLength = wordAt(at);
        if (end - at - 8 < classLength) break;
        const std::uint32_t pathLength = wordAt(at + 4 + classLength);
        if (end - at - 8 - classLength < pathLength) break;
        if (written) {
          const char* className = buffer + at + 4;
          const char* libraryPath = className + classLength + 4;
          zeros += zeroBytesOf(std::uint64_t{pathLength} << 32 | classLength) + 2;
          written = classLength > 0 && pathLength > 0 && className[classLength - 1] == '\0' &&
                    libraryPath[pathLength - 1] == '\0' &&
                    (record == 0 || writtenClassBefore(buffer + previousAt, previousLength,
                                                       className, classLength - 1, buffer + end));
          previousAt = at + 4;
          previousLength = classLength - 1;
        }
        at += 8 + std::size_t{classLength} + pathLength;
      }
      asWritten = written;
      zerosKnown += zeros;
      consumed += at - position;
      position = at;
      if (record == count) break;
      // The record goes on past the buffer: it is read in whole, with the
      // class before it, pinned, moved along while it is still to be
      // compared; a file known not to be as written pins nothing, or the
      // buffer would grow to hold all of it.
      pinned = asWritten ? previousAt : kNothingPinned;
      std::uint32_t classLength = 0;
      std::uint32_t pathLength = 0;
      const bool whole = recordAhead(classLength, pathLength);
      previousAt = pinned;
      pinned = kNothingPinned;
      if (!whole) {
        start = consumed;
        return false;
      }
    }
    return true;
  }

  // Returns true when every zero byte read stands where the writer puts
  // one: in a count or a length, or as the NUL after a string. Then no
  // string holds a NUL before its end. Meaningful once the source is known
  // to be at its end.
  bool zerosAsWritten() const { return countingZeros && zerosRead == zerosKnown; }

  // Reads a record: a class name and its library path, each a length and
  // that many bytes, and returns each up to its first NUL, and whether both
  // are as the writer puts them. The views hold until the next call, and
  // as long as the image does for a reader of one.
  bool record(std::string_view& className, std::string_view& libraryPath, bool& asWritten) {
    std::uint32_t classLength = 0;
    std::uint32_t pathLength = 0;
    if (!recordAhead(classLength, pathLength)) return false;
    const char* classStart = bytes + position + 4;
    const char* pathStart = classStart + classLength + 4;
    const bool classAsWritten = isWrittenString(classStart, classLength);
    const bool pathAsWritten = isWrittenString(pathStart, pathLength);
    className = classAsWritten ? std::string_view(classStart, classLength - 1)
                               : upToNul(classStart, classLength);
    libraryPath = pathAsWritten ? std::string_view(pathStart, pathLength - 1)
                                : upToNul(pathStart, pathLength);
    asWritten = classAsWritten && pathAsWritten;
    take(8 + std::size_t{classLength} + pathLength);
    return true;
  }

 private:
  std::uint32_t wordAt(std::size_t at) const {
    const auto* word = reinterpret_cast<const unsigned char*>(bytes + at);
    return static_cast<std::uint32_t>(word[0]) | static_cast<std::uint32_t>(word[1]) << 8 |
           static_cast<std::uint32_t>(word[2]) << 16 | static_cast<std::uint32_t>(word[3]) << 24;
  }

  // Makes the whole record at `position` available and reads its two
  // lengths. Both fields are in the buffer before either is decoded, so a
  // refill for the second cannot move the first. Two lengths of up to 4 GiB
  // each add up past a 32-bit size_t: the ends are reckoned in 64 bits, and
  // a record no buffer could hold is one the file does not have.
  bool recordAhead(std::uint32_t& classLength, std::uint32_t& pathLength) {
    if (!need(4)) return false;
    classLength = wordAt(position);
    const std::uint64_t classEnd = 4 + std::uint64_t{classLength};
    if (!needUpTo(classEnd + 4)) return false;
    pathLength = wordAt(position + static_cast<std::size_t>(classEnd));
    return needUpTo(classEnd + 4 + pathLength);
  }

  bool needUpTo(std::uint64_t end) {
    return end <= std::numeric_limits<std::size_t>::max() && need(static_cast<std::size_t>(end));
  }

  // The `count` bytes at `start` up to their first NUL.
  static std::string_view upToNul(const char* start, std::size_t count) {
    const auto* nul = static_cast<const char*>(std::memchr(start, '\0', count));
    return {start, nul != nullptr ? static_cast<std::size_t>(nul - start) : count};
  }

  void take(std::size_t count) {
    position += count;
    consumed += count;
  }

  // Makes `count` bytes available from `position` on; false when the bytes
  // end first.
  bool need(std::size_t count) {
    if (source == nullptr) return filled - position >= count;
    while (filled - position < count) {
      // The pinned bytes, taken already, move with those still to come.
      const std::size_t from = std::min(position, pinned);
      const std::size_t held = filled - from;
      const std::size_t missing = count - (filled - position);
      std::size_t ask = std::max(std::min(missing, kReadPiece), source->readAhead());
      // A buffer that can hold the field is refilled, not grown.
      if (held + missing <= capacity) ask = std::min(ask, capacity - held);
      if (held + ask > capacity) {
        // Room for a piece and half as much again: the part of a record that
        // a piece ends inside then moves to the front and the next piece
        // still fits whole, so that every read starts where a page does.
        const std::size_t grown = std::max(held + ask + ask / 2, capacity * 2);
        // Not value-initialized: pages the source never fills cost no memory.
        auto larger = std::make_unique_for_overwrite<char[]>(grown);
        if (held > 0) std::memcpy(larger.get(), owned.get() + from, held);
        owned = std::move(larger);
        capacity = grown;
      } else if (held > 0) {
        std::memmove(owned.get(), owned.get() + from, held);
      }
      bytes = owned.get();
      position -= from;
      if (pinned != kNothingPinned) pinned -= from;
      filled = held;
      const std::size_t got = source->pull(owned.get() + filled, ask);
      if (got == 0) return false;
      if (countingZeros) zerosRead += zeroBytesIn(owned.get() + filled, got);
      filled += got;
    }
    return true;
  }

  static constexpr std::size_t kNothingPinned = static_cast<std::size_t>(-1);

  tByteSource* source = nullptr;  // null for a reader of an image
  std::unique_ptr<char[]> owned;  // the buffer a source fills
  const char* bytes = nullptr;    // the buffer's start, or the image's
  std::size_t capacity = 0;
  std::size_t pinned = kNothingPinned;  // bytes from here on outlive a refill
  std::size_t position = 0;             // the first byte not yet taken
  std::size_t filled = 0;               // the end of the bytes the source put in
  std::uint64_t consumed = 0;
  bool countingZeros = false;
  std::uint64_t zerosRead = 0;   // of every byte read, when countingZeros
  std::uint64_t zerosKnown = 0;  // of the bytes taken, where the writer puts a zero
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
  explicit tComparingSink(int descriptor) : fd(descriptor) {}
  bool take(const char* bytes, std::size_t count) override {
    while (count > 0) {
      const std::size_t piece = std::min(count, kBulkPiece);
      if (piece > capacity) {
        held = std::make_unique_for_overwrite<char[]>(piece);
        capacity = piece;
      }
      if (!readFully(piece) || std::memcmp(held.get(), bytes, piece) != 0) return false;
      bytes += piece;
      count -= piece;
    }
    return true;
  }
  // Returns true when the descriptor holds nothing more.
  bool atEnd() {
    if (capacity == 0) {
      held = std::make_unique_for_overwrite<char[]>(1);
      capacity = 1;
    }
    return !readFully(1);
  }

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
  std::size_t capacity = 0;
};

// Gathers the bytes of a map file and hands them to a sink in large pieces.
// Once the sink refuses a piece, everything after it is dropped.
class tFieldWriter {
 public:
  explicit tFieldWriter(tByteSink& into)
      : sink(into),
        // Not value-initialized: pages a small map never fills cost nothing.
        buffer(std::make_unique_for_overwrite<char[]>(kFirstPiece)) {}

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

  // Writes `count` bytes that are already as the file has them: a run large
  // enough to be worth a system call of its own goes to the sink from where
  // it stands, without a copy.
  bool verbatim(const char* bytes, std::size_t count) {
    if (count < kDirectRun) return put(bytes, count);
    return flush() && sink.take(bytes, count);
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
    if (count > capacity - used) {
      if (!flush()) return false;
      if (capacity < kBulkPiece) {
        capacity *= 2;
        buffer = std::make_unique_for_overwrite<char[]>(capacity);
      }
      if (count > capacity) return sink.take(bytes, count);
    }
    std::memcpy(buffer.get() + used, bytes, count);
    used += count;
    return true;
  }

  tByteSink& sink;
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = kFirstPiece;
  std::size_t used = 0;
};

// Returns where the record of `binding` begins in `image` when both its
// strings are viewed in one record there, else null. A map views its image
// only for records that the image holds exactly as the writer writes them
// (see assignViewed), so that such a record, its lengths and its NULs
// included, is what writing the binding would give; it is checked by
// where its views lie, without reading its bytes again.
const char* recordInImage(const tBindingView& binding, std::string_view image) {
  const auto address = [](const char* at) { return reinterpret_cast<std::uintptr_t>(at); };
  const std::uintptr_t className = address(binding.className.data());
  const std::uintptr_t libraryPath = address(binding.libraryPath.data());
  const std::uintptr_t end = address(image.data()) + image.size();
  // The path of the class's own record starts after the class, its NUL and
  // the path's length.
  if (image.empty() || className < address(image.data()) + 4 ||
      libraryPath != className + binding.className.size() + 5 || libraryPath > end ||
      binding.libraryPath.size() >= end - libraryPath) {
    return nullptr;
  }
  return binding.className.data() - 4;
}

// Writes a section: its count, then its records. A run of records that the
// image the map was read from holds back to back, each exactly as it would
// be written, is written from the image as it stands: a change to a few
// bindings of a large map re-encodes those alone.
bool writeSection(tFieldWriter& writer, const tClassNameMap& map) {
  if (!writer.word(static_cast<std::uint32_t>(map.size()))) return false;
  const std::string_view image = map.image();
  const char* runStart = nullptr;
  const char* runEnd = nullptr;
  for (const tBindingView& binding : map) {
    const char* record = recordInImage(binding, image);
    if (record != nullptr && record == runEnd) {
      runEnd = binding.libraryPath.data() + binding.libraryPath.size() + 1;
      continue;
    }
    if (runStart != nullptr &&
        !writer.verbatim(runStart, static_cast<std::size_t>(runEnd - runStart))) {
      return false;
    }
    runStart = record;
    runEnd =
        record == nullptr ? nullptr : binding.libraryPath.data() + binding.libraryPath.size() + 1;
    if (record == nullptr &&
        (!writer.string(binding.className) || !writer.string(binding.libraryPath))) {
      return false;
    }
  }
  return runStart == nullptr ||
         writer.verbatim(runStart, static_cast<std::size_t>(runEnd - runStart));
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
  // Room for the records the file can really hold, and for a few more: growing
  // the array one doubling at a time would copy it and fault in its pages
  // again and again, and a run that adds a binding or two to a large map
  // would copy it all once more, holding both copies at its peak. A record
  // is at least two lengths.
  if (map != nullptr) {
    const auto records =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, reader.roomFor(8)));
    map->reserve(map->size() + records + records / 64 + 16);
  }
  if (map == nullptr) {
    if (reader.skipRecords(count, start, asWritten)) return true;
    problem = "file ends inside a record";
    return false;
  }
  std::string_view className;
  std::string_view libraryPath;
  bool recordAsWritten = true;
  for (std::uint32_t record = 0; record < count; ++record) {
    start = reader.offset();
    if (!reader.record(className, libraryPath, recordAsWritten)) {
      problem = "file ends inside a record";
      return false;
    }
    // Of two records for the same class the later wins. The writer's
    // classes are unique and ascending: each sorts after all before it. A
    // record as the writer writes it is viewed where it stands, so that a
    // save writes it from there; any other is copied, and written afresh.
    if (recordAsWritten) {
      const bool last = map->assignViewed(className, libraryPath);
      asWritten = asWritten && last;
    } else {
      map->assign(className, libraryPath);
      asWritten = false;
    }
  }
  return true;
}

// Reads a whole map file of `sections` sections from `reader` into `first`
// and `second`, or only checks a section whose map is null; see
// scanMapFileDescriptor. Leaves readFailed to the caller, who knows where
// the bytes came from.
tMapFileScan scanFields(tFieldReader& reader, int sections, tClassNameMap* first,
                        tClassNameMap* second, bool checkHead) {
  tMapFileScan scan;
  auto stop = [&](tStatus code, std::uint64_t offset, std::string problem) {
    scan.code = code;
    scan.offset = offset;
    scan.problem = std::move(problem);
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
  scan.asWritten = asWritten && reader.atEnd();
  return scan;
}

// Reads the file open at `fd` as scanFields does. A file that is only
// checked streams through a buffer that stays in the processor's cache; a
// file that is loaded is read whole into an image that the maps keep and
// view their strings in.
tMapFileScan scanDescriptor(int fd, int sections, tClassNameMap* first, tClassNameMap* second,
                            bool checkHead = true) {
  if (first == nullptr) {
    tDescriptorSource source(fd);
    tFieldReader reader(source, true);
    tMapFileScan scan = scanFields(reader, sections, nullptr, nullptr, checkHead);
    scan.asWritten = scan.asWritten && reader.zerosAsWritten();
    scan.readFailed = source.failed(scan.readError);
    return scan;
  }
  const tFileImage image = readFileImage(fd);
  for (tClassNameMap* map : {first, second}) {
    if (map != nullptr) map->shareImage(image.owner, image.bytes);
  }
  tFieldReader reader(image.bytes);
  tMapFileScan scan = scanFields(reader, sections, first, second, checkHead);
  scan.readFailed = image.error != 0;
  scan.readError = image.error;
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
  return scanDescriptor(fd, sections, &first, second, checkHead);
}

tMapFileScan readMapFileDescriptor(int fd, int sections, tClassNameMap* first,
                                   tClassNameMap* second, tStatus& status) {
  if (isError(status)) return {};
  tMapFileScan scan = scanDescriptor(fd, sections, first, second);
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
