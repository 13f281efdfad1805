#include "classMap/tCommandFileReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "os/tLargeAllocator.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

namespace {

// A piece of a file that is not regular (a pipe) starts at this size; so
// does the room kept behind a partial line, so that reads stay large.
constexpr std::size_t kUnknownRest = std::size_t{1} << 20;
constexpr std::size_t kLeastRead = std::size_t{4} << 10;

// The pieces that a map views, which last until the program ends.
std::vector<tLargeBlock>& heldPieces() {
  static std::vector<tLargeBlock> pieces;
  return pieces;
}

}  // namespace

tCommandFileReader::tCommandFileReader(int descriptor) : fd(descriptor) {
  struct stat status {};
  // Only a hint: without it, a regular file is read as a pipe is.
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) size = status.st_size;
}

tCommandFileReader::~tCommandFileReader() {
  if (piece == nullptr) return;
  if (held) {
    heldPieces().emplace_back(piece);
  } else {
    std::free(piece);
  }
}

void tCommandFileReader::next(tSplitLine& line, std::int32_t& endOfFile, tStatus& status) {
  line.raw = {};
  line.fieldCount = 0;
  if (isError(status)) return;
  for (;;) {
    // Most lines: their end found and their fields split in one pass. A
    // line that goes on past the bytes read is looked for as below, past
    // the bytes already searched, so that a long line is not split again
    // after every read.
    if (searched == 0 && begin < end && piece[begin] != '#') {
      const std::size_t lineSize = splitFirstLine({piece + begin, end - begin}, line, status);
      if (lineSize != 0) {
        begin += lineSize;
        ++linesRead;
        if (atEnd && begin == end) endOfFile = 1;
        return;
      }
      if (isError(status)) return;
      searched = end - begin;
      if (!atEnd && readMore(status)) continue;
      if (isError(status)) return;
    }
    const std::size_t from = begin + searched;
    const void* newline = from < end ? std::memchr(piece + from, '\n', end - from) : nullptr;
    if (newline == nullptr && !atEnd) {
      searched = end - begin;
      if (readMore(status)) continue;
      if (isError(status)) return;
    }
    if (newline == nullptr && begin == end) {
      endOfFile = 1;
      // The end reads as an empty line, as stdio's readers give it.
      return splitLine({}, line, status);
    }
    const std::size_t lineEnd =
        newline == nullptr
            ? end
            : static_cast<std::size_t>(static_cast<const char*>(newline) - piece) + 1;
    const std::span<char> raw(piece + begin, lineEnd - begin);
    begin = lineEnd;
    searched = 0;
    ++linesRead;
    if (atEnd && begin == end) endOfFile = 1;
    if (raw.front() != '#') return splitLine(raw, line, status);
    // A comment goes whole, however long; it may not hold a NUL either.
    if (std::memchr(raw.data(), '\0', raw.size()) != nullptr) return reportReadError(status);
    if (endOfFile != 0) return splitLine({}, line, status);
  }
}

std::size_t tCommandFileReader::linesLeft() const {
  const auto handedOut = static_cast<std::size_t>(readSoFar) - (end - begin);
  if (size < 0 || linesRead == 0 || handedOut == 0) return 0;
  const std::size_t left =
      static_cast<std::size_t>(std::max<off_t>(size - readSoFar, 0)) + (end - begin);
  return static_cast<std::size_t>(static_cast<double>(left) * static_cast<double>(linesRead) /
                                  static_cast<double>(handedOut));
}

void tCommandFileReader::releaseLongLine() {
  if (held || capacity <= kPiece || begin != end) return;
  std::free(piece);
  piece = nullptr;
  capacity = begin = end = searched = 0;
}

bool tCommandFileReader::readMore(tStatus& status) {
  const std::size_t rest =
      size < 0 ? kUnknownRest : static_cast<std::size_t>(std::max<off_t>(size - readSoFar, 0));
  // A regular file's piece is made one byte larger than its rest, so that
  // the read that finds the end needs no piece of its own.
  if (capacity - end < std::min(kLeastRead, rest + 1)) renewPiece();
  const long got = readRetrying(fd, piece + end, capacity - end);
  if (got < 0) {
    reportReadError(status);
    return false;
  }
  if (got == 0) {
    atEnd = true;
    return false;
  }
  end += static_cast<std::size_t>(got);
  readSoFar += got;
  return true;
}

void tCommandFileReader::renewPiece() {
  const std::size_t partial = end - begin;
  // A piece no line of which is held takes the partial line to its front,
  // when that leaves at least as much room as the line takes.
  if (!held && piece != nullptr && partial <= capacity / 2) {
    std::memmove(piece, piece + begin, partial);
  } else {
    const std::size_t rest =
        size < 0 ? kUnknownRest : static_cast<std::size_t>(std::max<off_t>(size - readSoFar, 0));
    std::size_t wanted = partial + std::max(kLeastRead, std::min(rest + 1, kPiece));
    // A line that filled a piece alone takes the rest of a regular file at
    // once, rather than a copy of itself for each doubling.
    if (partial != 0 && partial == capacity)
      wanted = std::max({wanted, partial + rest + 1, 2 * partial});
    // The line and the read fill the piece at once: faulting its pages in
    // with one call costs less than one fault a page.
    const std::size_t filled = size < 0 ? partial : std::min(wanted, partial + rest);
    char* const renewed = static_cast<char*>(allocateLarge(wanted, filled));
    if (partial != 0) std::memcpy(renewed, piece + begin, partial);
    if (held) {
      heldPieces().emplace_back(piece);
    } else {
      std::free(piece);
    }
    piece = renewed;
    capacity = wanted;
    held = false;
  }
  begin = 0;
  end = partial;
}

}  // namespace nDRAVI100
