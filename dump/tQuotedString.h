// How --check quotes a class name or library path of a map file in a
// finding: whole when it is short enough to name a file, else its first
// bytes and its length, so that a string of any size costs a finding a few
// bytes and reads as what it is.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nDRAVI100 {

// No path longer than this names a file: the system refuses it (its NUL
// counted in, a path of exactly this length is refused too, but is still
// quoted whole). A longer string is quoted in part.
constexpr std::uint64_t kLongestQuotedWhole = PATH_MAX;

// How many of its first bytes a string quoted in part shows, at most.
constexpr std::size_t kQuotedPrefix = 64;

// A string as a finding quotes it: `bytes` are all of it, or, when it is
// longer than kLongestQuotedWhole, its first bytes, at most kQuotedPrefix
// and never half a UTF-8 character; `length` is its whole length.
struct tQuotedString {
  std::string bytes;
  std::uint64_t length = 0;

  [[nodiscard]] bool inPart() const { return bytes.size() < length; }
  // escapeForText of the bytes; in part, followed by "... (67,108,864
  // bytes)".
  [[nodiscard]] std::string forText() const;
  // The same as the contents of a JSON string: escapeForJson of the bytes,
  // the same ending.
  [[nodiscard]] std::string forJson() const;
};

// The quote of a string of `length` bytes that begins with `head`: all of
// it when it is no longer than kLongestQuotedWhole (`head` must then be the
// whole string), else the first bytes of `head` (which must hold at least
// kQuotedPrefix + 1 bytes of it, so that a character the cut would split
// is seen).
[[nodiscard]] tQuotedString quoteOf(std::string_view head, std::uint64_t length);

}  // namespace nDRAVI100
