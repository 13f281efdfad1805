// Writing a map file: the bytes gathered into large pieces and handed to a
// descriptor, or compared with what one holds; the records that a map's
// file image holds as they are to be written go out from where they stand.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "mapFile/tMapFile.h"
#include "mapFile/tMapFileFormat.h"
#include "os/tLargeAllocator.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

namespace {

// The writer hands the descriptor up to this many bytes at a time: a map of
// a million bindings costs a few hundred system calls instead of four
// library calls per field, and no buffer the size of the file. Its buffer
// starts at kFirstPiece and grows fourfold each time a map fills it: a
// buffer of a mebibyte, mapped, faulted in and unmapped, cost a small map
// more than the rest of its save, and each growth is a fresh buffer faulted
// in and a short write, four of them for a bulk file's map when it doubled.
// It stops at a quarter of a mebibyte, which the cache holds from one write
// to the next: a bulk file's map written through a mebibyte took the kernel
// three quarters of a mebibyte more to clear, and ran 0.4 ms longer, for
// 20 fewer system calls (9 writes of its 7.2 MB, against 29).
constexpr std::size_t kBulkPiece = std::size_t{256} * 1024;
constexpr std::size_t kFirstPiece = std::size_t{64} * 1024;

// Bytes that stand in the file image as they are to be written go to the
// descriptor straight from the image from this many on; fewer are gathered
// with the rest.
constexpr std::size_t kDirectRun = std::size_t{64} * 1024;

// A run from the image goes out in writes of at most this many bytes, so
// that the device writes the first of a large map while the kernel copies
// the rest (see tDescriptorSink): handed over in one write and synced, a
// map of a million bindings was copied whole before the device began, and
// its add ran about 10 ms longer on a disk.
constexpr std::size_t kDirectPiece = std::size_t{4} << 20;

// How far ahead of a run of records it checks in the image the writer asks
// for the image's bytes: a run is checked record by record, each found from
// the lengths before it, which waited on one cache miss after another.
constexpr std::size_t kImageAhead = 4096;

// Where tFieldWriter hands its bytes.
class tByteSink {
 public:
  virtual ~tByteSink() = default;
  // Takes `count` bytes; returns false when they cannot be taken, after
  // which nothing more is handed over.
  virtual bool take(const char* bytes, std::size_t count) = 0;
  // Takes the pieces one after the other, as take() of each would.
  virtual bool takeAll(std::span<const std::string_view> pieces) {
    return std::all_of(pieces.begin(), pieces.end(),
                       [this](std::string_view piece) { return take(piece.data(), piece.size()); });
  }
};

// Writes to a descriptor; the first write that fails raises
// nCode::kCannotWrite. Each time another kWriteBackPiece bytes have gone
// out, the device is set to writing them while the writer gathers the
// next: the sync that ends a save then waits for the last of a large file
// alone, not for all of it. A save of a bulk file's map ran about 1 ms
// sooner so. A map smaller than that is written and synced as before,
// without another system call.
class tDescriptorSink final : public tByteSink {
 public:
  tDescriptorSink(int descriptor, tStatus& statusWord) : fd(descriptor), status(statusWord) {}
  bool take(const char* bytes, std::size_t count) override {
    const std::string_view piece(bytes, count);
    return takeAll(std::span(&piece, 1));
  }
  // One writev for all: each write(2) of a small map's three pieces cost
  // its save a few microseconds.
  bool takeAll(std::span<const std::string_view> pieces) override {
    if (!writeAllPieces(fd, pieces)) {
      raiseError(status, nCode::kCannotWrite);
      return false;
    }
    for (const std::string_view piece : pieces) unstarted += piece.size();
    if (unstarted >= kWriteBackPiece) {
      startWriteBack(fd);
      unstarted = 0;
    }
    return true;
  }

 private:
  static constexpr std::size_t kWriteBackPiece = std::size_t{1} << 20;

  int fd;
  tStatus& status;
  std::size_t unstarted = 0;  // bytes written since the device was last set to writing
};

// Compares the bytes handed to it with what a descriptor holds next, so
// that a run can tell, without writing, whether saving would change the
// file. It reads up to kComparedPiece bytes at a time.
class tComparingSink final : public tByteSink {
 public:
  explicit tComparingSink(int descriptor) : fd(descriptor) {}
  bool take(const char* bytes, std::size_t count) override {
    while (count > 0) {
      const std::size_t piece = std::min(count, kComparedPiece);
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
  static constexpr std::size_t kComparedPiece = std::size_t{1} << 20;

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
        buffer(static_cast<char*>(allocateLarge(kFirstPiece))) {}

  bool word(std::uint32_t value) {
    std::array<char, 4> bytes;
    putWord(bytes.data(), value);
    return put(bytes.data(), bytes.size());
  }

  // Writes a length and the bytes of `text` with a NUL after them.
  bool string(std::string_view text) {
    return word(static_cast<std::uint32_t>(text.size() + 1)) && put(text.data(), text.size()) &&
           put("", 1);
  }

  // Writes a binding's record: its class and its path, each as string()
  // writes it. A record that fits in the buffer is written there at once:
  // a map of scattered names made two library calls a record and spent
  // half its writing in them.
  bool record(std::string_view className, std::string_view libraryPath) {
    constexpr std::size_t kWord = 4;
    const std::size_t size = className.size() + libraryPath.size() + 2 * (kWord + 1);
    if (size > capacity - used) {
      return string(className) && string(libraryPath);
    }
    char* at = buffer.get() + used;
    for (const std::string_view text : {className, libraryPath}) {
      putWord(at, static_cast<std::uint32_t>(text.size() + 1));
      copyBytes(at + kWord, text.data(), text.size());
      at[kWord + text.size()] = '\0';
      at += kWord + text.size() + 1;
    }
    used += size;
    return true;
  }

  // Writes `count` bytes that are already as the file has them: a run large
  // enough to be worth it goes to the sink from where it stands, without a
  // copy, after what the buffer gathered and in the same hand-over.
  bool verbatim(const char* bytes, std::size_t count) {
    if (count < kDirectRun) return put(bytes, count);
    for (std::size_t piece = 0; count > 0; bytes += piece, count -= piece) {
      piece = std::min(count, kDirectPiece);
      if (!queue(std::string_view(bytes, piece))) return false;
    }
    return true;
  }

  // Hands over what is queued and gathered.
  bool flush() {
    queueGathered();
    const bool taken = sink.takeAll(std::span(queued.data(), queuedCount));
    queuedCount = 0;
    queuedBytes = 0;
    used = 0;
    queuedUpTo = 0;
    return taken;
  }

 private:
  // Stores `value` at `at` as the file's 32-bit little-endian word.
  static void putWord(char* at, std::uint32_t value) {
    at[0] = static_cast<char>(value);
    at[1] = static_cast<char>(value >> 8);
    at[2] = static_cast<char>(value >> 16);
    at[3] = static_cast<char>(value >> 24);
  }

  // Copies `count` bytes from `from`, which does not overlap `to`. The few
  // bytes of a name are copied by fixed-size moves that the compiler makes
  // inline, the last of them overlapping the one before; more go to memcpy.
  static void copyBytes(char* to, const char* from, std::size_t count) {
    constexpr std::size_t kMove = 16;
    if (count < kMove || count > 4 * kMove) {
      std::memcpy(to, from, count);
      return;
    }
    for (std::size_t at = 0; at + kMove < count; at += kMove)
      std::memcpy(to + at, from + at, kMove);
    std::memcpy(to + count - kMove, from + count - kMove, kMove);
  }

  // Queues what the buffer gathered since it last queued, then `piece`,
  // to be handed over together; hands everything over once the queue is
  // full or holds kDirectPiece bytes.
  bool queue(std::string_view piece) {
    queueGathered();
    queued[queuedCount++] = piece;
    queuedBytes += piece.size();
    return (queuedCount + 1 < queued.size() && queuedBytes < kDirectPiece) || flush();
  }

  void queueGathered() {
    if (used == queuedUpTo) return;
    queued[queuedCount++] = std::string_view(buffer.get() + queuedUpTo, used - queuedUpTo);
    queuedBytes += used - queuedUpTo;
    queuedUpTo = used;
  }

  // Gathers `count` bytes with one comparison and a copy; a piece larger
  // than the buffer goes to the sink as it is.
  bool put(const char* bytes, std::size_t count) {
    if (count > capacity - used) {
      // Pieces queued from the buffer go before it is refilled or replaced.
      if (!flush()) return false;
      if (capacity < kBulkPiece) {
        capacity = std::min(capacity * 4, kBulkPiece);
        // Filled at once: its pages are faulted in by one system call, not
        // one fault each.
        buffer.reset(static_cast<char*>(allocateLarge(capacity, capacity)));
      }
      if (count > capacity) return sink.take(bytes, count);
    }
    std::memcpy(buffer.get() + used, bytes, count);
    used += count;
    return true;
  }

  tByteSink& sink;
  tLargeBlock buffer;
  std::size_t capacity = kFirstPiece;
  std::size_t used = 0;
  // Pieces to be handed over in one go, in order: parts of the buffer and
  // runs of the image between them. Room is kept for the buffer's last part.
  std::array<std::string_view, 8> queued;
  std::size_t queuedCount = 0;
  std::size_t queuedBytes = 0;
  std::size_t queuedUpTo = 0;  // the buffer's bytes before this are queued
};

// The 32-bit little-endian word at `at`.
std::uint32_t wordAt(const char* at) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(at);
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Returns where the record of `binding` begins in `image` when the image
// holds there exactly what writing the binding gives, else null: the
// class's length + 1, the class, a NUL, the path's length + 1, the path and
// a NUL. Where the views lie as they would in such a record, the strings
// are the views' own bytes; what is left to compare is the two lengths and
// the two NULs, a few loads for each of a million records. The loader
// views only records as written, so this holds of every viewed record, but
// the save is right by this check alone: a record viewed any other way (a
// length that overruns its string's NUL, a NUL inside a string, a length
// of 0) is written afresh.
const char* recordInImage(const tBindingView& binding, std::string_view image) {
  const auto address = [](const char* at) { return reinterpret_cast<std::uintptr_t>(at); };
  const std::uintptr_t className = address(binding.className.data());
  const std::uintptr_t libraryPath = address(binding.libraryPath.data());
  const std::uintptr_t end = address(image.data()) + image.size();
  const std::size_t classSize = binding.className.size();
  const std::size_t pathSize = binding.libraryPath.size();
  // The path of the class's own record starts after the class, its NUL and
  // the path's length; the path's NUL is inside the image.
  if (image.empty() || className < address(image.data()) + 4 ||
      libraryPath != className + classSize + 5 || libraryPath > end ||
      pathSize >= end - libraryPath) {
    return nullptr;
  }
  const char* record = binding.className.data() - 4;
  if (wordAt(record) != classSize + 1 || binding.className.data()[classSize] != '\0' ||
      wordAt(binding.libraryPath.data() - 4) != pathSize + 1 ||
      binding.libraryPath.data()[pathSize] != '\0') {
    return nullptr;
  }
  return record;
}

// Writes a section: its count, then its records. A run of records that the
// image the map was read from holds back to back, each exactly as it would
// be written, is written from the image as it stands: a change to a few
// bindings of a large map re-encodes those alone.
bool writeSection(tFieldWriter& writer, const tClassNameMap& map) {
  if (!writer.word(static_cast<std::uint32_t>(map.size()))) return false;
  const std::string_view image = map.image();
  const char* const imageEnd = image.data() + image.size();
  const char* runStart = nullptr;
  const char* runEnd = nullptr;
  // Names added out of order are scattered in memory once sorted: their
  // bytes are asked for some bindings ahead, or each would wait on a cache
  // miss or two.
  constexpr std::ptrdiff_t kAhead = 8;
  const auto last = map.end();
  for (auto at = map.begin(); at != last; ++at) {
    if (last - at > kAhead) {
      __builtin_prefetch(at[kAhead].className.data());
      __builtin_prefetch(at[kAhead].libraryPath.data());
    }
    const tBindingView& binding = *at;
    const char* record = recordInImage(binding, image);
    if (record != nullptr && record == runEnd) {
      runEnd = binding.libraryPath.data() + binding.libraryPath.size() + 1;
      __builtin_prefetch(runEnd +
                         std::min(kImageAhead, static_cast<std::size_t>(imageEnd - runEnd)));
      continue;
    }
    if (runStart != nullptr &&
        !writer.verbatim(runStart, static_cast<std::size_t>(runEnd - runStart))) {
      return false;
    }
    runStart = record;
    runEnd =
        record == nullptr ? nullptr : binding.libraryPath.data() + binding.libraryPath.size() + 1;
    if (record == nullptr && !writer.record(binding.className, binding.libraryPath)) {
      return false;
    }
  }
  return runStart == nullptr ||
         writer.verbatim(runStart, static_cast<std::size_t>(runEnd - runStart));
}

// Writes the header and the sections and hands everything over; false when
// the sink refused a piece.
bool writeWholeFile(tFieldWriter& writer, const tClassNameMap& first, const tClassNameMap* second) {
  if (!writer.word(kMapFileMagic) || !writer.word(kMapFileVersion) || !writeSection(writer, first))
    return false;
  if (second != nullptr && !writeSection(writer, *second)) return false;
  return writer.flush();
}

}  // namespace

void writeMapFileDescriptor(int fd, const tClassNameMap& first, const tClassNameMap* second,
                            tStatus& status) {
  if (isError(status)) return;
  tDescriptorSink sink(fd, status);
  tFieldWriter writer(sink);
  (void)writeWholeFile(writer, first, second);
}

bool descriptorHoldsMapFile(int fd, const tClassNameMap& first, const tClassNameMap* second) {
  tComparingSink sink(fd);
  tFieldWriter writer(sink);
  return writeWholeFile(writer, first, second) && sink.atEnd();
}

}  // namespace nDRAVI100
