// Reads a map file's fields, from a buffer that a source fills piece by
// piece or from a whole file image, and counts the bytes it took.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "mapFile/tMapFile.h"
#include "mapFile/tMapFileBytes.h"
#include "mapFile/tMapFileFormat.h"

namespace nDRAVI100 {

// Included by the readers' translation units (tMapFileReader.cc,
// tRecordWalk.cc) alone, and with internal linkage there, as though
// written in each: GCC inlines
// the calls that a load makes for every record only then (a load of a
// large map ran a third slower with them external).
namespace {  // NOLINT(cert-dcl59-cpp)

// A stored length is believed only as far as the bytes that follow bear it
// out: the reader asks for at most this many bytes beyond those it holds, so
// the memory a record takes grows with the bytes that arrive, never with the
// length it claims.
constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

// A reader that only checks a file holds a record whole only up to this
// size: a larger one is read past a piece at a time, so that checking a file
// costs the same memory whatever length a record claims, and the bytes that
// bear the length out are never held at once.
constexpr std::uint64_t kLargestHeldRecord = std::uint64_t{4} << 20;

// How far ahead of the record it reads a reader asks for the bytes to come.
// Each record's place is known only once the lengths before it are read, so
// a load that walks an image waited on one cache miss after another: asked
// for a page ahead, the bytes of a million records were there in time, and
// the load's own work took about a third less.
constexpr std::size_t kFetchAhead = 4096;

// One string of a record as a walk hands it out (see streamedRecord): up
// to its first NUL, either held or, when it is long, only where it is.
struct tStreamedField {
  bool held = true;
  std::string_view bytes;    // a held string's bytes
  std::uint64_t offset = 0;  // where its bytes start, held or not, counted as offset() counts
  std::uint64_t length = 0;  // its length up to its first NUL; bytes.size() when held
};

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
      const std::uint64_t recordStart = consumed;
      bool passed = false;
      const bool whole = recordAheadOrPast(passed);
      previousAt = pinned;
      pinned = kNothingPinned;
      if (!whole) {
        start = recordStart;
        return false;
      }
      if (passed) {
        // Not compared with its neighbours: the file counts as not as
        // written, and a run that would mend it loads it whole to know.
        asWritten = false;
        ++record;
      }
    }
    return true;
  }

  // For a reader of an image: takes records from where it is, at most
  // `count`, while each is one the writer would write where it stands (its
  // strings each of at least one byte, the last a NUL and no other) and its
  // class sorts after the class of the one before, and hands each to
  // `view` as its class and library up to their NULs. Returns how many it
  // took; a record it stops at is left for `record`, which reads any
  // record. The loop a load spends its time in: it keeps the reader's
  // state in locals, as skipRecords does, and compares neighbours where
  // they stand, the NUL after each class ending the shorter.
  template <typename View>
  std::uint32_t takeWrittenRecords(std::uint32_t count, View&& view) {
    if (source != nullptr) return 0;
    const char* const buffer = bytes;
    const std::size_t end = filled;
    std::size_t at = position;
    const char* previous = nullptr;
    std::size_t previousLength = 0;
    std::uint32_t record = 0;
    for (; record < count && end - at >= 8; ++record) {
      const std::uint32_t classLength = wordAt(at);
      if (classLength == 0 || end - at - 8 < classLength) break;
      const std::uint32_t pathLength = wordAt(at + 4 + classLength);
      if (pathLength == 0 || end - at - 8 - classLength < pathLength) break;
      const char* className = buffer + at + 4;
      const char* libraryPath = className + classLength + 4;
      __builtin_prefetch(buffer + std::min(at + kFetchAhead, end));
      if (!isWrittenString(className, classLength) || !isWrittenString(libraryPath, pathLength) ||
          (previous != nullptr && !writtenClassBefore(previous, previousLength, className,
                                                      classLength - 1, buffer + end))) {
        break;
      }
      view(std::string_view(className, classLength - 1),
           std::string_view(libraryPath, pathLength - 1));
      previous = className;
      previousLength = classLength - 1;
      at += 8 + std::size_t{classLength} + pathLength;
    }
    consumed += at - position;
    position = at;
    return record;
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
    __builtin_prefetch(bytes + std::min(position + kFetchAhead, filled));
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

  // Reads a record as `record` does, but a string of more than `largest`
  // bytes is read past a piece at a time, never held, and handed out as
  // where it starts and how long it is up to its first NUL: a walk then
  // costs the same memory whatever length a record has. A held class stays
  // valid while a library not held is read past: it is copied aside then.
  // The views hold until the next call.
  bool streamedRecord(tStreamedField& className, tStreamedField& libraryPath, bool& asWritten,
                      std::uint64_t largest) {
    if (!need(4)) return false;
    const std::uint32_t classLength = wordAt(position);
    const std::uint64_t recordStart = consumed;
    if (classLength <= largest) {
      const std::uint64_t classEnd = 4 + std::uint64_t{classLength};
      if (!needUpTo(classEnd + 4)) return false;
      const std::uint32_t pathLength = wordAt(position + static_cast<std::size_t>(classEnd));
      if (pathLength <= largest) {
        std::string_view classBytes;
        std::string_view pathBytes;
        if (!record(classBytes, pathBytes, asWritten)) return false;
        className = {true, classBytes, recordStart + 4, classBytes.size()};
        libraryPath = {true, pathBytes, recordStart + classEnd + 4, pathBytes.size()};
        return true;
      }
      const char* classStart = bytes + position + 4;
      const bool classAsWritten = isWrittenString(classStart, classLength);
      const std::string_view classBytes = classAsWritten
                                              ? std::string_view(classStart, classLength - 1)
                                              : upToNul(classStart, classLength);
      asideClass.assign(classBytes);
      className = {true, asideClass, recordStart + 4, asideClass.size()};
      take(static_cast<std::size_t>(classEnd) + 4);
      bool pathAsWritten = false;
      if (!passString(pathLength, libraryPath, pathAsWritten)) return false;
      asWritten = classAsWritten && pathAsWritten;
      return true;
    }
    take(4);
    bool classAsWritten = false;
    if (!passString(classLength, className, classAsWritten) || !need(4)) return false;
    const std::uint32_t pathLength = wordAt(position);
    take(4);
    bool pathAsWritten = false;
    if (pathLength <= largest) {
      if (!need(pathLength)) return false;
      const char* pathStart = bytes + position;
      pathAsWritten = isWrittenString(pathStart, pathLength);
      const std::string_view pathBytes = pathAsWritten ? std::string_view(pathStart, pathLength - 1)
                                                       : upToNul(pathStart, pathLength);
      libraryPath = {true, pathBytes, consumed, pathBytes.size()};
      take(pathLength);
    } else if (!passString(pathLength, libraryPath, pathAsWritten)) {
      return false;
    }
    asWritten = classAsWritten && pathAsWritten;
    return true;
  }

 private:
  // Reads past a string of `length` bytes, as pass does, and says where it
  // starts, how long it is up to its first NUL and whether it is as the
  // writer puts it: its one NUL last.
  bool passString(std::uint32_t length, tStreamedField& field, bool& asWritten) {
    field = {false, {}, consumed, length};
    std::uint64_t left = length;
    std::uint64_t firstNul = length;
    while (left > 0) {
      if (filled == position && !need(1)) return false;
      const std::size_t step =
          static_cast<std::size_t>(std::min<std::uint64_t>(left, filled - position));
      if (firstNul == length) {
        if (const void* nul = std::memchr(bytes + position, '\0', step)) {
          firstNul = length - left +
                     static_cast<std::uint64_t>(static_cast<const char*>(nul) - (bytes + position));
        }
      }
      take(step);
      left -= step;
    }
    field.length = firstNul;
    asWritten = length > 0 && firstNul == std::uint64_t{length} - 1;
    return true;
  }

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

  // As recordAhead, but a record larger than kLargestHeldRecord is read
  // past instead, its bytes dropped as they arrive, and `passed` set; the
  // class pinned before it is then let go.
  bool recordAheadOrPast(bool& passed) {
    if (!need(4)) return false;
    const std::uint32_t classLength = wordAt(position);
    const std::uint64_t classEnd = 4 + std::uint64_t{classLength};
    if (classEnd + 4 <= kLargestHeldRecord) {
      if (!needUpTo(classEnd + 4)) return false;
      const std::uint32_t pathLength = wordAt(position + static_cast<std::size_t>(classEnd));
      if (classEnd + 4 + pathLength <= kLargestHeldRecord) {
        return needUpTo(classEnd + 4 + pathLength);
      }
      passed = true;
      pinned = kNothingPinned;
      take(static_cast<std::size_t>(classEnd) + 4);
      return pass(pathLength);
    }
    passed = true;
    pinned = kNothingPinned;
    take(4);
    if (!pass(classLength) || !need(4)) return false;
    const std::uint32_t pathLength = wordAt(position);
    take(4);
    return pass(pathLength);
  }

  // Takes `count` bytes without keeping them: the buffer is refilled, never
  // grown. Nothing may be pinned.
  bool pass(std::uint64_t count) {
    while (count > 0) {
      if (filled == position && !need(1)) return false;
      const std::size_t step =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, filled - position));
      take(step);
      count -= step;
    }
    return true;
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
  std::string asideClass;        // a held class whose library is read past
};

// Reads the magic and the version that every map file begins with, and
// checks them unless `checkHead` is false. Returns false when they cannot
// be read or are wrong, with the scan's code, offset and problem saying so.
inline bool readMapFileHead(tFieldReader& reader, bool checkHead, tMapFileScan& scan) {
  const auto stop = [&](tStatus code, std::uint64_t offset, std::string problem) {
    scan.code = code;
    scan.offset = offset;
    scan.problem = std::move(problem);
    return false;
  };
  std::uint32_t word = 0;
  if (!reader.word(word)) return stop(-nCode::kMapFileTooShort, 0, "file ends inside the magic");
  if (checkHead && word != kMapFileMagic)
    return stop(-nCode::kBadMagic, 0, "wrong magic: not a map file");
  if (!reader.word(word)) return stop(-nCode::kMapFileTooShort, 4, "file ends inside the version");
  if (checkHead && word != kMapFileVersion) {
    return stop(-nCode::kBadVersion, 4, "unsupported version " + std::to_string(word));
  }
  return true;
}

}  // namespace
}  // namespace nDRAVI100
