// Class names and library paths are bytes, not text: the map file allows
// any byte but NUL. These turn them into text that prints safely and reads
// back to the exact bytes.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace nDRAVI100 {

// Returns `bytes` as one field of a tab-separated line: a tab is written
// "\t", a newline "\n", a backslash "\\"; each byte of any other control
// character (0x00 to 0x1F, 0x7F, and the two-byte C1 controls U+0080 to
// U+009F) and each byte that is not part of valid UTF-8 is written "\xHH",
// with two lowercase hex digits. Other valid UTF-8 stays as it is, so the
// field holds no tab or newline and reads back to the exact bytes. Never
// fails.
std::string escapeForText(std::string_view bytes);

// Returns `bytes` as the contents of a JSON string, without the quotes:
// valid UTF-8 appears as itself; the quote and the backslash are escaped;
// control characters, DEL and the C1 controls are written \b, \f, \n, \r,
// \t or \u00hh; a byte 0xHH that is not part of valid UTF-8 is written
// \udcHH, a lone low surrogate that no valid UTF-8 text can produce, so a
// reader maps it back to the byte (Python's "surrogateescape" does exactly
// that). Never fails.
std::string escapeForJson(std::string_view bytes);

// Write escapeForText(bytes) and escapeForJson(bytes) to `stream` a few
// kilobytes at a time: a string of any size is written without a copy of
// its size. Write errors are left for the caller to find with ferror.
void putEscapedForText(std::FILE* stream, std::string_view bytes);
void putEscapedForJson(std::FILE* stream, std::string_view bytes);

// The two escapings that putEscapedForText and putEscapedForJson write.
enum class tEscapedForm { text, json };

// Writes the escaping of one string that arrives in pieces of any size,
// exactly as the put function of `form` writes the whole string: a UTF-8
// sequence split between two pieces is judged whole. finish (or the
// destructor) writes what the last piece left pending.
class tEscapedWriter {
 public:
  tEscapedWriter(std::FILE* stream, tEscapedForm escapedForm);
  tEscapedWriter(const tEscapedWriter&) = delete;
  tEscapedWriter& operator=(const tEscapedWriter&) = delete;
  ~tEscapedWriter();

  void put(std::string_view piece);
  void finish();

 private:
  std::size_t escape(std::string_view bytes, std::size_t until);

  std::FILE* out;
  tEscapedForm form;
  std::string pending;  // at most the last three bytes, not judged yet
};

// Returns `bytes` with its control characters escaped as escapeForText
// escapes them (a tab "\t", a newline "\n", any other "\xHH" for each of
// its bytes), and each byte 0x80 to 0x9F that is not part of valid UTF-8,
// which a terminal that reads bytes one by one takes for a C1 control,
// written "\xHH"; every other byte stays as it is, the backslash too. For a
// line that quotes a path and must print an ordinary one byte for byte as
// it always has: the escaping cannot be undone, but nothing in the result
// steers a terminal. Never fails.
std::string escapeControls(std::string_view bytes);

}  // namespace nDRAVI100
