// zembril's reading of a command file: its lines, split where they stand,
// from large pieces of the file that may last until the program ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "classMap/tCommandFileGrammar.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Reads the lines of a command file from a descriptor that it does not own,
// in pieces of up to kPiece bytes (a regular file's rest in one read when
// it fits), and splits each line in the piece it stands in (splitFirstLine), so
// that no byte is copied on the way. A bulk file's adds then bind views of
// their names in the piece instead of copies: its run reads the file and
// writes the map, and moves few of its bytes in between.
//
// The life of a piece:
//
//   made, sized to the rest of the file (at most kPiece) or to outgrow a
//   line longer than the piece before
//     -> read into, as much as fits, and its lines handed out one by one
//     -> holdLine: a line handed out from it is viewed by a map
//     -> spent: no whole line left in it
//          held:     kept until the program ends; the partial line at its
//                    end is copied into a new piece
//          not held: the partial line moves to its front and the reading
//                    goes on in it, or, when the line outgrows it, it is
//                    copied into a larger piece and this one freed
//
// So a run holds what its adds view plus one piece, never more than the
// file, and a file of other commands is read through one piece.
class tCommandFileReader {
 public:
  // The most a piece takes of the file at once, unless one line needs more.
  static constexpr std::size_t kPiece = std::size_t{16} << 20;

  // Reads `descriptor` from its start; it stays open and is read from
  // nowhere else.
  explicit tCommandFileReader(int descriptor);
  ~tCommandFileReader();
  tCommandFileReader(const tCommandFileReader&) = delete;
  tCommandFileReader& operator=(const tCommandFileReader&) = delete;

  // Reads the next line that is not a comment and splits it into `line`,
  // whose views hold until the next call unless holdLine keeps them. Sets
  // `endOfFile` to 1 once the file's end has been reached; a line with no
  // newline at the end of the file is a line. A read error, or a line
  // (comments included) that holds a NUL byte, fails as reportReadError
  // does and leaves `line` empty.
  void next(tSplitLine& line, std::int32_t& endOfFile, tStatus& status);

  // About how many lines a regular file has left, judged by the length of
  // the lines handed out so far; 0 when the reader cannot tell.
  [[nodiscard]] std::size_t linesLeft() const;

  // Keeps the bytes of the line that next handed out last, unchanged, until
  // the program ends: a map may view them for as long as it lives.
  void holdLine() { held = true; }

  // Frees the piece when it was made larger than kPiece for a long line that
  // has been handed out whole and is not held, so that the line does not
  // stay in memory beside what its command makes of it.
  void releaseLongLine();

 private:
  // Makes room behind the partial line [begin, end) and reads into it.
  // Returns false at the end of the file or when the read failed (then
  // `status` says so).
  bool readMore(tStatus& status);
  // Moves the partial line into a new piece, the old one kept or freed.
  void renewPiece();

  int fd;
  // The file's size when it is a regular file, -1 otherwise: the hint for
  // how much to read at once.
  off_t size = -1;
  off_t readSoFar = 0;
  char* piece = nullptr;
  std::size_t capacity = 0;
  // [begin, end) is read and not yet handed out; no newline stands in
  // [begin, begin + searched).
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t searched = 0;
  std::size_t linesRead = 0;
  bool held = false;
  bool atEnd = false;
};

}  // namespace nDRAVI100
