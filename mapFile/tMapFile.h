// The bytes of a map file.
//
// The layout is described once, in mapFile/tMapFileFormat.h. These functions
// work on open descriptors; tMapFileAccess adds the files themselves around
// them, and every reader of map files reads through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "classNameMap/tClassNameMap.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Returns true when `map` can be written without a count or length that
// overflows the format's 32 bits.
bool fitsMapFileFormat(const tClassNameMap& map);

// Writes a whole map file to `fd`: the header, then `first` and, when it is
// given, `second`. A failed write raises nCode::kCannotWrite.
void writeMapFileDescriptor(int fd, const tClassNameMap& first, const tClassNameMap* second,
                            tStatus& status);

// The bytes before a map file's first section: the magic and the version.
constexpr std::uint64_t kMapFileHeadSize = 8;

// How far the bytes of a map file could be read, and why reading stopped.
struct tMapFileScan {
  // 0 when whole, else nCode::kMapFileTooShort, nCode::kBadMagic or
  // nCode::kBadVersion, negated.
  tStatus code = 0;
  bool readFailed = false;  // a read failed: the bytes say nothing about the file
  int readError = 0;        // errno of that failure
  // Where the damage is: the start of the header field, count or record
  // that could not be read; the end of the last section when whole.
  std::uint64_t offset = 0;
  std::string problem;    // what is wrong, in a few words ("file ends inside a record")
  int wholeSections = 0;  // how many map sections were read whole
  // Bytes follow the last section; they hold no binding. Known only when
  // every section was read whole.
  bool bytesAfter = false;
  // The bytes are exactly what writing the maps read from them would give:
  // every string followed by its one NUL, the classes of each section
  // unique and ascending, and nothing after the last section. Only a whole
  // file read through a descriptor can be known to be so.
  bool asWritten = false;
};

// Reads a whole map file of `sections` sections (1 or 2) from `fd`, keeping
// every whole record it reads, also of a section that ends early, and says
// where and why reading stopped. This is what salvages a damaged file. With
// `checkHead` false the magic and the version are read past unchecked, so
// that the records of a file whose head alone is damaged are read where an
// intact file has them.
[[nodiscard]] tMapFileScan scanMapFileDescriptor(int fd, int sections, tClassNameMap& first,
                                                 tClassNameMap* second, bool checkHead = true);

// Reads a whole map file of `sections` sections (1 or 2) from the open
// descriptor `fd` into `first` and `second`, in large pieces. A file too
// short raises nCode::kMapFileTooShort, a wrong magic nCode::kBadMagic and
// a version other than 1 nCode::kBadVersion; a section that ends early is
// emptied, and the one before it keeps what it read. A null `first` (and
// `second`) only checks the file: it is read through, nothing is kept, and
// the scan says what was found. A failed read raises
// nCode::kMapFileTooShort and says so in the scan's readFailed: the bytes
// then say nothing about the file.
tMapFileScan readMapFileDescriptor(int fd, int sections, tClassNameMap* first,
                                   tClassNameMap* second, tStatus& status);

// Returns how many bytes writeMapFileDescriptor writes for `first` and, when
// it is given, `second`.
std::uint64_t mapFileSize(const tClassNameMap& first, const tClassNameMap* second);

// Returns true when what `fd` holds from its current offset to its end is
// exactly what writeMapFileDescriptor writes for `first` and `second`. Stops
// reading at the first byte that differs; a failed read counts as a
// difference.
bool descriptorHoldsMapFile(int fd, const tClassNameMap& first, const tClassNameMap* second);

// What the copy mark at the head of a map file names (see tMapFileFormat.h): the
// size and digest of the temporary file being copied into it.
struct tCopyMark {
  std::uint64_t size = 0;
  std::uint64_t digest = 0;

  bool operator==(const tCopyMark&) const = default;
};

// How many bytes the copy mark takes at the head of a map file.
constexpr std::size_t kCopyMarkSize = 24;

// The copy mark's bytes.
std::string encodeCopyMark(const tCopyMark& mark);

// Returns the mark that `head`, the first bytes of a file, begins with, if
// it begins with one.
std::optional<tCopyMark> decodeCopyMark(std::string_view head);

// Returns the mark at the head of the file open at `fd`, read without
// moving its offset, if it carries one.
std::optional<tCopyMark> readCopyMark(int fd);

// Returns the size and digest of everything the file open at `fd` holds, as
// far as fstat sees it, read without moving its offset, as a copy mark names
// them; nothing when fstat or a read fails or the file ends before that.
std::optional<tCopyMark> digestOfFile(int fd);

}  // namespace nDRAVI100
