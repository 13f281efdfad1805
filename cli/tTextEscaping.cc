#include "cli/tTextEscaping.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace nDRAVI100 {

namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

std::string hexByte(unsigned char byte) {
  return {kHexDigits[byte >> 4U], kHexDigits[byte & 0xFU]};
}

// Returns the length of the well-formed UTF-8 sequence at `at` (RFC 3629:
// no overlong forms, no surrogates, nothing above U+10FFFF), or 0 when the
// byte there starts none, and its code point in `codePoint`.
std::size_t utf8SequenceAt(std::string_view bytes, std::size_t at, std::uint32_t& codePoint) {
  const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range allowed for the first continuation byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // the surrogates U+D800 to U+DFFF
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  std::uint32_t value = lead & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0U) != 0x80U) return 0;
    value = (value << 6U) | (byte(at + i) & 0x3FU);
  }
  codePoint = value;
  return length;
}

bool isControl(std::uint32_t codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

// Calls `plain(sequence)` for each well-formed UTF-8 sequence that is not a
// control character, `control(codePoint, sequence)` for each one that is,
// and `stray(byte)` for each byte that belongs to no well-formed sequence,
// of those that start before `until`; returns where the next one starts.
template <typename tPlain, typename tControl, typename tStray>
std::size_t forEachCharacter(std::string_view bytes, tPlain plain, tControl control, tStray stray,
                             std::size_t until = std::string_view::npos) {
  std::size_t at = 0;
  while (at < bytes.size() && at < until) {
    std::uint32_t codePoint = 0;
    const std::size_t length = utf8SequenceAt(bytes, at, codePoint);
    if (length == 0) {
      stray(static_cast<unsigned char>(bytes[at]));
      ++at;
      continue;
    }
    const std::string_view sequence = bytes.substr(at, length);
    if (isControl(codePoint)) {
      control(codePoint, sequence);
    } else {
      plain(sequence);
    }
    at += length;
  }
  return at;
}

// Collects escaped text and hands it to a stream a few kilobytes at a time,
// so that a string of any length is written without a copy of its size.
class tStreamOut {
 public:
  explicit tStreamOut(std::FILE* out) : stream(out) { chunk.reserve(kChunk + 16); }
  tStreamOut(const tStreamOut&) = delete;
  tStreamOut& operator=(const tStreamOut&) = delete;
  ~tStreamOut() { flush(); }

  tStreamOut& operator+=(std::string_view text) {
    chunk += text;
    if (chunk.size() >= kChunk) flush();
    return *this;
  }
  tStreamOut& operator+=(char byte) { return *this += std::string_view(&byte, 1); }

 private:
  static constexpr std::size_t kChunk = std::size_t{64} << 10;

  void flush() {
    // A write error is the caller's to find with ferror.
    (void)std::fwrite(chunk.data(), 1, chunk.size(), stream);
    chunk.clear();
  }

  std::FILE* stream;
  std::string chunk;
};

template <typename tOut>
std::size_t escapeTextInto(std::string_view bytes, tOut& text,
                           std::size_t until = std::string_view::npos) {
  const auto escapeByte = [&](unsigned char byte) { text += "\\x" + hexByte(byte); };
  return forEachCharacter(
      bytes,
      [&](std::string_view sequence) {
        if (sequence == "\\") {
          text += "\\\\";
        } else {
          text += sequence;
        }
      },
      [&](std::uint32_t codePoint, std::string_view sequence) {
        if (codePoint == '\t') {
          text += "\\t";
        } else if (codePoint == '\n') {
          text += "\\n";
        } else {
          for (const char byte : sequence) escapeByte(static_cast<unsigned char>(byte));
        }
      },
      escapeByte, until);
}

template <typename tOut>
std::size_t escapeJsonInto(std::string_view bytes, tOut& text,
                           std::size_t until = std::string_view::npos) {
  return forEachCharacter(
      bytes,
      [&](std::string_view sequence) {
        if (sequence == "\"" || sequence == "\\") text += '\\';
        text += sequence;
      },
      [&](std::uint32_t codePoint, std::string_view) {
        static constexpr std::array<std::pair<char, char>, 5> kShortForms = {
            {{'\b', 'b'}, {'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}}};
        for (const auto& [control, letter] : kShortForms) {
          if (codePoint == static_cast<unsigned char>(control)) {
            text += std::string{'\\', letter};
            return;
          }
        }
        text += "\\u00" + hexByte(static_cast<unsigned char>(codePoint));
      },
      [&](unsigned char byte) { text += "\\udc" + hexByte(byte); }, until);
}

}  // namespace

std::string escapeForText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  (void)escapeTextInto(bytes, text);
  return text;
}

std::string escapeForJson(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  (void)escapeJsonInto(bytes, text);
  return text;
}

void putEscapedForText(std::FILE* stream, std::string_view bytes) {
  tStreamOut out(stream);
  (void)escapeTextInto(bytes, out);
}

void putEscapedForJson(std::FILE* stream, std::string_view bytes) {
  tStreamOut out(stream);
  (void)escapeJsonInto(bytes, out);
}

tEscapedWriter::tEscapedWriter(std::FILE* stream, tEscapedForm escapedForm)
    : out(stream), form(escapedForm) {}

tEscapedWriter::~tEscapedWriter() { finish(); }

std::size_t tEscapedWriter::escape(std::string_view bytes, std::size_t until) {
  tStreamOut text(out);
  return form == tEscapedForm::text ? escapeTextInto(bytes, text, until)
                                    : escapeJsonInto(bytes, text, until);
}

void tEscapedWriter::put(std::string_view piece) {
  // A character is judged by at most its four bytes: those that start more
  // than three bytes before the end are judged now, the rest with what
  // follows them.
  std::string joined;
  std::string_view bytes = piece;
  if (!pending.empty()) {
    joined = pending + std::string(piece);
    bytes = joined;
  }
  constexpr std::size_t kLookahead = 3;
  if (bytes.size() <= kLookahead) {
    pending.assign(bytes);
    return;
  }
  const std::size_t done = escape(bytes, bytes.size() - kLookahead);
  pending.assign(bytes.substr(done));
}

void tEscapedWriter::finish() {
  if (pending.empty()) return;
  (void)escape(pending, std::string_view::npos);
  pending.clear();
}

std::string escapeControls(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  forEachCharacter(
      bytes, [&](std::string_view sequence) { text += sequence; },
      [&](std::uint32_t codePoint, std::string_view sequence) {
        if (codePoint == '\t' || codePoint == '\n') {
          (void)escapeTextInto(sequence, text);
          return;
        }
        for (const char byte : sequence) text += "\\x" + hexByte(static_cast<unsigned char>(byte));
      },
      [&](unsigned char byte) {
        // A lone byte 0x80 to 0x9F is a C1 control to a terminal that reads
        // bytes one by one; any other stray byte prints as it always has.
        if (byte >= 0x80 && byte <= 0x9F) {
          text += "\\x" + hexByte(byte);
        } else {
          text += static_cast<char>(byte);
        }
      });
  return text;
}

}  // namespace nDRAVI100
