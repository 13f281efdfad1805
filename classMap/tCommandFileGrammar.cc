#include "classMap/tCommandFileGrammar.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "os/tFile.h"

namespace nDRAVI100 {

namespace {

constexpr std::size_t kMostFields = 4;

// The buffer that getline grows as it needs and that lives as long as the
// program.
struct tLineBuffer {
  tLineBuffer() = default;
  tLineBuffer(const tLineBuffer&) = delete;
  tLineBuffer& operator=(const tLineBuffer&) = delete;
  ~tLineBuffer() { std::free(bytes); }

  char* bytes = nullptr;
  std::size_t capacity = 0;
};

// A command file that cannot be read fails the run, with one line of report.
void reportReadError(tStatus& status) {
  raiseError(status, nCode::kCommandFileRead);
  // The report goes out on a best-effort basis; the status carries the error.
  (void)std::fputs("zembril: File read error!\n", stdout);
}

tCommandRequest& lineRequest() {
  static tCommandRequest request;
  return request;
}

const tCommandRequest& rejectionRequest() {
  static const tCommandRequest request;
  return request;
}

}  // namespace

const std::string& readFileLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status) {
  static std::string line;
  line.clear();
  if (isError(status)) return line;
  // getline's own buffer, kept from line to line. getline says how many
  // bytes it stored, so that a NUL byte of the file is seen for what it is;
  // reading in pieces with fgets had to fill each piece first to tell its
  // NUL from the file's, which cost a bulk file a tenth of its run.
  static tLineBuffer buffer;
  for (;;) {
    const ssize_t got = ::getline(&buffer.bytes, &buffer.capacity, file);
    if (got < 0) {
      // The end of the file, or a read that failed (then not at the end).
      if (std::feof(file) == 0 || std::ferror(file) != 0) reportReadError(status);
      break;
    }
    const auto length = static_cast<std::size_t>(got);
    // A line that holds a NUL byte is not the text it looks like (strlen would
    // see it end early and run it into the next line): it cannot be read.
    if (std::memchr(buffer.bytes, '\0', length) != nullptr) {
      reportReadError(status);
      break;
    }
    // A comment goes whole, however long.
    if (buffer.bytes[0] == '#') continue;
    line.assign(buffer.bytes, length);
    break;
  }
  if (std::feof(file) != 0) endOfFile = 1;
  return line;
}

const std::string& removeWhitespace(const std::string& line, tStatus& status) {
  static std::string stripped;
  if (isError(status)) {
    stripped.clear();
    return stripped;
  }
  static constexpr auto kBlank = [] {
    std::array<bool, 256> blank{};
    for (const char byte : {' ', '\t', '\r', '\n'}) blank[static_cast<unsigned char>(byte)] = true;
    return blank;
  }();
  // Returns true when one of the 8 bytes of `word` is a blank: `word` xor a
  // blank repeated has a zero byte where that blank is, and the expression
  // in hasZero is non-zero exactly when its argument has a zero byte.
  constexpr auto holdsBlank = [](std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101U;
    constexpr auto hasZero = [](std::uint64_t x) { return ((x - kOnes) & ~x & (kOnes << 7)) != 0; };
    return hasZero(word ^ (kOnes * ' ')) || hasZero(word ^ (kOnes * '\t')) ||
           hasZero(word ^ (kOnes * '\r')) || hasZero(word ^ (kOnes * '\n'));
  };
  // A command file of many lines spent most of its time here, one call per
  // byte. Now 8 bytes without a blank are copied at once, and the bytes of
  // any other 8 are written one by one, a kept byte advancing the end,
  // without a branch. Only shrinking `stripped` keeps its bytes in place, so
  // a line that is `stripped` itself is compacted in place correctly.
  const std::size_t end = std::min(line.find('\0'), line.size());
  if (stripped.size() < end) stripped.resize(end);
  const char* const bytes = line.data();
  char* const start = stripped.data();
  char* out = start;
  std::size_t at = 0;
  for (; at + 8 <= end; at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + at, 8);
    if (!holdsBlank(word)) {
      std::memcpy(out, &word, 8);
      out += 8;
      continue;
    }
    for (std::size_t next = at; next < at + 8; ++next) {
      *out = bytes[next];
      out += kBlank[static_cast<unsigned char>(bytes[next])] ? 0 : 1;
    }
  }
  for (; at < end; ++at) {
    *out = bytes[at];
    out += kBlank[static_cast<unsigned char>(bytes[at])] ? 0 : 1;
  }
  stripped.resize(static_cast<std::size_t>(out - start));
  return stripped;
}

bool splitFileLineFields(const std::string& line, std::vector<std::string>& fields) {
  static constexpr auto kMatters = [] {
    std::array<bool, 256> matters{};
    for (const char byte : {',', '<', '>'}) matters[static_cast<unsigned char>(byte)] = true;
    return matters;
  }();
  const std::size_t size = line.size();
  const char* const bytes = line.data();
  // Room for the most fields a line may have, cut to the fields found at
  // the end: strings that stay keep their buffers from line to line, where
  // cutting first would free them and allocate again for every line.
  if (fields.size() < kMostFields) fields.resize(kMostFields);
  std::size_t used = 0;
  std::size_t start = 0;
  // Each field is copied in one piece once its end is found.
  auto endFieldAt = [&](std::size_t comma) {
    if (used + 1 == kMostFields) return false;
    fields[used].assign(line, start, comma - start);
    ++used;
    start = comma + 1;
    return true;
  };
  if (line.find('<') == std::string::npos) {
    // Without a "<" no comma is bracketed, and memchr finds each one many
    // bytes at a time.
    while (const void* comma = std::memchr(bytes + start, ',', size - start)) {
      if (!endFieldAt(static_cast<std::size_t>(static_cast<const char*>(comma) - bytes))) {
        return false;
      }
    }
  } else {
    int depth = 0;
    for (std::size_t at = start;; ++at) {
      // The bytes between the three that matter are skipped in a tight loop.
      while (at < size && !kMatters[static_cast<unsigned char>(bytes[at])]) ++at;
      if (at == size) break;
      if (bytes[at] == '<') {
        ++depth;
      } else if (bytes[at] == '>') {
        if (depth > 0) --depth;
      } else if (depth == 0 && !endFieldAt(at)) {
        return false;
      }
    }
  }
  fields[used].assign(line, start, size - start);
  fields.resize(used + 1);
  return true;
}

const tCommandRequest& parseFileLine(const std::string& line, tStatus& status) {
  if (isError(status)) return rejectionRequest();
  static std::vector<std::string> fields;
  tCommandRequest& request = lineRequest();
  auto reject = [&]() -> const tCommandRequest& {
    raiseError(status, nCode::kUsage);
    return rejectionRequest();
  };

  if (!splitFileLineFields(line, fields) || fields.size() < 2) return reject();
  tMapScope scope = 0;
  if (!parseScopeName(fields[0], "", scope)) return reject();
  request.setScope(scope, status);

  const std::span<const std::string> arguments(fields.begin() + 2, fields.end());
  if (!setCommandWord(request, fields[1], "", arguments, status)) return reject();
  return request;
}

std::optional<std::string> addLineFor(char scopeLetter, const std::string& className,
                                      const std::string& libraryPath) {
  const std::string line = std::string{scopeLetter, ','} + "add," + className + "," + libraryPath;
  // The line goes through the same reader as a file on disk: pieces, NUL
  // bytes and newlines inside a name then count exactly as they would.
  std::string bytes = line + "\n";
  const tFile in(::fmemopen(bytes.data(), bytes.size(), "r"));
  if (!in) return std::nullopt;
  tStatus status = 0;
  std::int32_t endOfFile = 0;
  const std::string readBack = readFileLine(in.get(), endOfFile, status);
  if (isError(status) || readBack != bytes) return std::nullopt;

  const tCommandRequest& request = parseFileLine(removeWhitespace(readBack, status), status);
  tMapScope expectedScope = 0;
  if (!parseScopeName(std::string{scopeLetter}, "", expectedScope)) return std::nullopt;
  const bool same = !isError(status) && request.getKind(status) == tCommandKind::Add &&
                    request.getScope(status) == expectedScope &&
                    request.getClassName(status) == className &&
                    request.getLibraryName(status) == libraryPath;
  // A run puts its bitness in place of a "*": the path would not survive.
  if (!same || substituteBitness(libraryPath, 0) != libraryPath) return std::nullopt;
  return line;
}

}  // namespace nDRAVI100
