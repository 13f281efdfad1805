// The walk through a map file's records, on the same field reader that
// loads and checks map files, so that it finds what they find.
#include "mapFile/tRecordWalk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "mapFile/tDescriptorSource.h"
#include "mapFile/tFieldReader.h"
#include "mapFile/tMapFileFormat.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

namespace {

// A string read from the file again, after the walk, is read this many
// bytes at a time; the walk itself reads as the loader's check does
// (tDescriptorSource).
constexpr std::size_t kStringPiece = std::size_t{64} * 1024;

tWalkedString walkedOf(const tStreamedField& field, std::uint64_t base) {
  return {field.held, field.bytes, base + field.offset, field.length};
}

// The bytes of `text` from `at`, at most `count` of them, read into
// `buffer` when it is not held; empty when a read fails.
std::string_view bytesOf(int fd, const tWalkedString& text, std::uint64_t at, std::size_t count,
                         char* buffer) {
  const auto size = static_cast<std::size_t>(
      std::min<std::uint64_t>(count, text.length - std::min(at, text.length)));
  if (text.held) return text.bytes.substr(static_cast<std::size_t>(at), size);
  if (size == 0 || !readFullyAt(fd, buffer, size, static_cast<long>(text.offset + at))) return {};
  return {buffer, size};
}

}  // namespace

tMapFileScan walkMapFileDescriptor(int fd, int sections, tRecordSink& sink, bool checkHead) {
  const off_t startedAt = ::lseek(fd, 0, SEEK_CUR);
  const std::uint64_t base = startedAt > 0 ? static_cast<std::uint64_t>(startedAt) : 0;
  tDescriptorSource source(fd);
  tFieldReader reader(source);
  tMapFileScan scan;
  auto stop = [&](tStatus code, std::uint64_t offset, std::string problem) {
    scan.code = code;
    scan.offset = offset;
    scan.problem = std::move(problem);
    scan.readFailed = source.failed(scan.readError);
    return scan;
  };

  if (!readMapFileHead(reader, checkHead, scan)) {
    scan.readFailed = source.failed(scan.readError);
    return scan;
  }
  // The writer's classes are unique and ascending in each section: each
  // class is compared with the one before, kept aside since the reader's
  // buffer moves on.
  bool asWritten = true;
  std::string previousBytes;
  tWalkedString previous;
  for (int section = 0; section < sections; ++section) {
    const std::uint64_t countAt = reader.offset();
    std::uint32_t count = 0;
    if (!reader.word(count)) {
      return stop(-nCode::kMapFileTooShort, countAt, "file ends inside a section's count");
    }
    tStreamedField className;
    tStreamedField libraryPath;
    for (std::uint32_t record = 0; record < count; ++record) {
      const std::uint64_t start = reader.offset();
      bool recordAsWritten = true;
      if (!reader.streamedRecord(className, libraryPath, recordAsWritten, kLargestWalkedString)) {
        return stop(-nCode::kMapFileTooShort, start, "file ends inside a record");
      }
      const tWalkedString walkedClass = walkedOf(className, base);
      bool failed = false;
      const bool sortsLast =
          record == 0 || (compareWalkedStrings(fd, previous, walkedClass, failed) < 0 && !failed);
      asWritten = asWritten && recordAsWritten && sortsLast;
      previous = walkedClass;
      if (walkedClass.held) {
        previousBytes.assign(walkedClass.bytes);
        previous.bytes = previousBytes;
      }
      sink.take(section, walkedClass, walkedOf(libraryPath, base), sortsLast);
    }
    ++scan.wholeSections;
  }
  scan.offset = reader.offset();
  scan.bytesAfter = !reader.atEnd();
  // The writer puts nothing after the last section.
  scan.asWritten = asWritten && !scan.bytesAfter;
  scan.readFailed = source.failed(scan.readError);
  return scan;
}

bool forEachPieceOf(int fd, const tWalkedString& text,
                    const std::function<void(std::string_view)>& piece) {
  if (text.held) {
    if (!text.bytes.empty()) piece(text.bytes);
    return true;
  }
  const auto buffer = std::make_unique_for_overwrite<char[]>(kStringPiece);
  for (std::uint64_t at = 0; at < text.length; at += kStringPiece) {
    const std::string_view bytes = bytesOf(fd, text, at, kStringPiece, buffer.get());
    if (bytes.empty()) return false;
    piece(bytes);
  }
  return true;
}

int compareWalkedStrings(int fd, const tWalkedString& left, const tWalkedString& right,
                         bool& failed) {
  if (left.held && right.held) return left.bytes.compare(right.bytes);
  const auto leftBuffer = std::make_unique_for_overwrite<char[]>(kStringPiece);
  const auto rightBuffer = std::make_unique_for_overwrite<char[]>(kStringPiece);
  const std::uint64_t common = std::min(left.length, right.length);
  for (std::uint64_t at = 0; at < common; at += kStringPiece) {
    const std::string_view a = bytesOf(fd, left, at, kStringPiece, leftBuffer.get());
    const std::string_view b = bytesOf(fd, right, at, kStringPiece, rightBuffer.get());
    if (a.empty() || b.empty()) {
      failed = true;
      return 0;
    }
    const std::size_t both = std::min(a.size(), b.size());
    if (const int order = a.substr(0, both).compare(b.substr(0, both)); order != 0) return order;
  }
  return left.length < right.length ? -1 : (left.length > right.length ? 1 : 0);
}

}  // namespace nDRAVI100
