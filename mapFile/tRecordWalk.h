// A walk through the records of a map file, one at a time, in memory that
// does not grow with the length of any record: for a reader that looks at
// each binding once and keeps few or none of them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string_view>

#include "mapFile/tMapFile.h"

namespace nDRAVI100 {

// A string of a record longer than this is not held by a walk: it is
// handed out as where it is in the file (see tWalkedString).
constexpr std::uint64_t kLargestWalkedString = std::uint64_t{4} << 20;

// A class name or library path as a walk hands it out, up to its first NUL
// as a map holds it: where its bytes are in the file that was walked and
// how many, and the bytes too when it is at most kLargestWalkedString long.
struct tWalkedString {
  bool held = true;
  std::string_view bytes;    // held: valid only during the call that hands it out
  std::uint64_t offset = 0;  // where its bytes start in the file
  std::uint64_t length = 0;  // its length; bytes.size() when held
};

// What a walk hands each whole record to.
class tRecordSink {
 public:
  virtual ~tRecordSink() = default;
  // A whole record of the map section `section` (0 or 1), in file order;
  // records of a section that ends early are handed out too, up to the
  // last whole one. Never called for a record of a later section than one
  // that ended early. `sortsLast`: the class sorts after the class of the
  // record before it in the section, as each class of a file that this
  // tool wrote does; true for the first.
  virtual void take(int section, const tWalkedString& className, const tWalkedString& libraryPath,
                    bool sortsLast) = 0;
};

// Walks the map file of `sections` sections (1 or 2) open at `fd` from
// offset 0, handing each whole record to `sink`, and says where and why
// reading stopped, exactly as scanMapFileDescriptor says it for the same
// bytes: the same code, offset, problem, whole sections, bytes after and
// asWritten. It holds one piece of the file and at most two strings of up
// to kLargestWalkedString bytes at a time, whatever the file's size. With
// `checkHead` false the magic and the version are read past unchecked.
// Moves the descriptor's offset.
[[nodiscard]] tMapFileScan walkMapFileDescriptor(int fd, int sections, tRecordSink& sink,
                                                 bool checkHead = true);

// Calls `piece` with the bytes of `text` a piece of at most 64 KiB at a
// time, read from `fd` at their offset when `text` is not held, without
// moving the descriptor's offset. Returns false when a read failed or the
// file ended first: the file is then not the one that was walked.
bool forEachPieceOf(int fd, const tWalkedString& text,
                    const std::function<void(std::string_view)>& piece);

// Compares two walked strings of the file open at `fd` byte by byte as
// unsigned values, a shorter before a longer that begins with it, as the
// classes of a map are ordered: negative, 0 or positive. A read that fails
// compares as equal, and sets `failed`.
int compareWalkedStrings(int fd, const tWalkedString& left, const tWalkedString& right,
                         bool& failed);

}  // namespace nDRAVI100
