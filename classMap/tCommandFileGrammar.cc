#include "classMap/tCommandFileGrammar.h"

#include <sys/types.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "os/tFile.h"

namespace nDRAVI100 {

void reportReadError(tStatus& status) {
  raiseError(status, nCode::kCommandFileRead);
  // The report goes out on a best-effort basis; the status carries the error.
  (void)std::fputs("zembril: File read error!\n", stdout);
}

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

tLineBuffer& lineBuffer() {
  static tLineBuffer buffer;
  return buffer;
}

tCommandRequest& lineRequest() {
  static tCommandRequest request;
  return request;
}

const tCommandRequest& rejectionRequest() {
  static const tCommandRequest request;
  return request;
}

// Reads the next line that is not a comment into the one buffer, as
// readFileLine describes, and returns where it stands: a view of the
// buffer, or an empty view at the end or after an error.
std::span<char> readRawLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status) {
  std::span<char> read;
  if (isError(status)) return read;
  // getline's own buffer, kept from line to line. getline says how many
  // bytes it stored, so that a NUL byte of the file is seen for what it is;
  // reading in pieces with fgets had to fill each piece first to tell its
  // NUL from the file's, which cost a bulk file a tenth of its run.
  tLineBuffer& buffer = lineBuffer();
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
    read = {buffer.bytes, length};
    break;
  }
  if (std::feof(file) != 0) endOfFile = 1;
  return read;
}

// Writes the bytes of `line` up to its first NUL but its blanks to `out`
// and returns how many it wrote. `out` may be `line` itself: no byte is
// written before it has been read.
std::size_t copyWithoutBlanks(std::string_view line, char* const out) {
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
  // without a branch. A byte is written only where a byte was read
  // already, so a line compacted in place comes out right.
  const std::size_t end = std::min(line.find('\0'), line.size());
  const char* const bytes = line.data();
  char* next = out;
  std::size_t at = 0;
  for (; at + 8 <= end; at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + at, 8);
    if (!holdsBlank(word)) {
      std::memcpy(next, &word, 8);
      next += 8;
      continue;
    }
    for (std::size_t each = at; each < at + 8; ++each) {
      const char byte = bytes[each];
      *next = byte;
      next += kBlank[static_cast<unsigned char>(byte)] ? 0 : 1;
    }
  }
  for (; at < end; ++at) {
    const char byte = bytes[at];
    *next = byte;
    next += kBlank[static_cast<unsigned char>(byte)] ? 0 : 1;
  }
  return static_cast<std::size_t>(next - out);
}

// Calls `onComma(at)` for each comma of `text` that stands outside "<" ">"
// brackets, `depth` brackets deep at its start, until it returns false;
// leaves in `depth` how deep the end of `text` is. Returns false when
// `onComma` did.
template <typename tOnComma>
bool forEachFieldComma(std::string_view text, int& depth, tOnComma onComma) {
  static constexpr auto kMatters = [] {
    std::array<bool, 256> matters{};
    for (const char byte : {',', '<', '>'}) matters[static_cast<unsigned char>(byte)] = true;
    return matters;
  }();
  // An empty view may have no bytes at all, which memchr must not be given.
  if (text.empty()) return true;
  const std::size_t size = text.size();
  const char* const bytes = text.data();
  if (depth == 0 && text.find('<') == std::string_view::npos) {
    // Without a "<" no comma is bracketed, and memchr finds each one many
    // bytes at a time.
    std::size_t start = 0;
    while (const void* comma = std::memchr(bytes + start, ',', size - start)) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(comma) - bytes);
      if (!onComma(at)) return false;
      start = at + 1;
    }
    return true;
  }
  for (std::size_t at = 0;; ++at) {
    // The bytes between the three that matter are skipped in a tight loop.
    while (at < size && !kMatters[static_cast<unsigned char>(bytes[at])]) ++at;
    if (at == size) return true;
    if (bytes[at] == '<') {
      ++depth;
    } else if (bytes[at] == '>') {
      if (depth > 0) --depth;
    } else if (depth == 0 && !onComma(at)) {
      return false;
    }
  }
}

constexpr std::size_t kWide = 16;

// The bytes of a line that the split looks at, as a mask of up to 64 bytes,
// bit i for byte i: every byte that may be a blank, a comma, a bracket or a
// NUL. Each such byte is then told by kKindOf; the vectors mark a little
// more than that (the other controls) for two comparisons instead of eight.
struct tUnplain {
  std::uint64_t marked = 0;

  tUnplain& operator|=(const tUnplain& more) {
    marked |= more.marked;
    return *this;
  }
  [[nodiscard]] tUnplain shifted(int right, int left) const { return {marked >> right << left}; }
};

// What a marked byte is to the split; a control that is not a blank is kept
// as any other byte.
enum tByteKind : std::uint8_t { kKept, kBlank, kNewline, kComma, kOpen, kClose, kNul };
constexpr auto kKindOf = [] {
  std::array<tByteKind, 256> kinds{};
  for (const char byte : {' ', '\t', '\r'}) kinds[static_cast<unsigned char>(byte)] = kBlank;
  kinds['\n'] = kNewline;
  kinds[','] = kComma;
  kinds['<'] = kOpen;
  kinds['>'] = kClose;
  kinds[0] = kNul;
  return kinds;
}();

// The masks of the kWide bytes at `bytes`. The compiler's vectors compare
// all of them at once where the machine can.
tUnplain unplainAt(const char* bytes) {
  using tWide = unsigned char __attribute__((vector_size(kWide)));
  tWide wide;
  std::memcpy(&wide, bytes, kWide);
  // Every byte up to a space (the blanks, NUL and the other controls), the
  // comma, and both brackets: '<' | 2 and '>' | 2 are '>', and no other byte
  // is.
  const auto marked = (wide <= ' ') | (wide == ',') | ((wide | 2) == '>');
#if defined(__SSE2__)
  return {static_cast<std::uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(marked)))};
#else
  tUnplain masks;
  for (std::size_t at = 0; at < kWide; ++at) {
    masks.marked |= std::uint64_t{marked[at] != 0 ? 1U : 0U} << at;
  }
  return masks;
#endif
}

constexpr std::size_t kBlock = 64;

// Returns the masks of the `count` bytes, at most kBlock, at `from` in
// `bytes`. It reads no byte past them, nor before `bytes`: the end of a
// line longer than kWide is read as the line's last kWide bytes, and a
// line shorter than that from a padded copy.
tUnplain unplainOf(const char* bytes, std::size_t from, std::size_t count) {
  tUnplain masks;
  std::size_t at = 0;
  for (; at + kWide <= count; at += kWide) {
    masks |= unplainAt(bytes + from + at).shifted(0, static_cast<int>(at));
  }
  if (at == count) return masks;
  if (from + count >= kWide) {
    const std::size_t lastStart = from + count - kWide;
    return masks |= unplainAt(bytes + lastStart)
                        .shifted(static_cast<int>(from + at - lastStart), static_cast<int>(at));
  }
  // A line shorter than kWide: its bytes padded with NULs, which are not
  // counted.
  std::array<char, kWide> padded{};
  std::memcpy(padded.data(), bytes + from, count);
  const std::uint64_t counted = (std::uint64_t{1} << count) - 1;
  const tUnplain last = unplainAt(padded.data());
  return {last.marked & counted};
}

// Splits `raw` into `line`'s fields when each of its blanks stands at the
// edge of a field: the fields are then views of `raw` between the blanks.
// Returns false for a line with a blank inside a field, or with a NUL,
// and `line`'s fields are then to be ignored. The bytes that matter are
// found kBlock at a time, and only they are looked at one by one. With
// `toNewline`, `raw` is what is read of a file from a line's start on, and
// the line ends at its first newline: the pass that splits the line finds
// its end, where a search for the newline first went over every byte
// twice. Sets `lineSize` to the line's size, its newline included, or to 0
// when the split stopped before the newline or `raw` holds none (and then
// returns false).
bool splitAtEdges(std::span<const char> raw, tSplitLine& line, bool toNewline,
                  std::size_t& lineSize) {
  const char* const bytes = raw.data();
  std::size_t size = raw.size();
  bool ended = !toNewline;
  std::size_t commas = 0;
  int depth = 0;
  // The field being split: where its kept bytes begin and end, whether it
  // has any, and whether a blank has come after them.
  std::size_t begin = 0;
  std::size_t end = 0;
  bool kept = false;
  bool blankAfter = false;
  // Takes [from, to) as kept bytes of the field; false when a blank came
  // between them and the field's earlier kept bytes.
  const auto keep = [&](std::size_t from, std::size_t to) {
    if (!kept) {
      begin = from;
      kept = true;
    } else if (blankAfter) {
      return false;
    }
    end = to;
    return true;
  };
  const auto endField = [&](std::size_t at) {
    if (commas < kMostFields) {
      line.fields[commas] = kept ? std::string_view(bytes + begin, end - begin)
                                 : std::string_view(bytes + at, bytes + at);
    }
    ++commas;
    kept = blankAfter = false;
  };
  std::size_t unseen = 0;  // the first byte not yet taken
  for (std::size_t block = 0; block < size; block += kBlock) {
    const tUnplain masks = unplainOf(bytes, block, std::min(kBlock, size - block));
    for (std::uint64_t mask = masks.marked; mask != 0; mask &= mask - 1) {
      const int bit = std::countr_zero(mask);
      const std::size_t at = block + static_cast<std::size_t>(bit);
      if (at > unseen && !keep(unseen, at)) return false;
      unseen = at + 1;
      const tByteKind kind = kKindOf[static_cast<unsigned char>(bytes[at])];
      if (kind == kBlank || kind == kNewline) {
        blankAfter = kept;
        if (kind == kNewline && toNewline) {
          size = at + 1;
          ended = true;
          break;
        }
        continue;
      }
      if (kind == kComma && depth == 0) {
        endField(at);
        continue;
      }
      if (kind == kNul) return false;
      // A bracket, a comma inside brackets or another control: a kept byte.
      if (kind == kOpen) {
        ++depth;
      } else if (kind == kClose && depth > 0) {
        --depth;
      }
      if (!keep(at, at + 1)) return false;
    }
  }
  lineSize = ended ? size : 0;
  if (!ended || (size > unseen && !keep(unseen, size))) return false;
  endField(size);
  line.fieldCount = commas <= kMostFields ? commas : 0;
  return true;
}

}  // namespace

const std::string& readFileLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status) {
  static std::string line;
  const std::span<char> read = readRawLine(file, endOfFile, status);
  line.assign(read.data(), read.size());
  return line;
}

std::string_view readStrippedLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status) {
  const std::span<char> read = readRawLine(file, endOfFile, status);
  return {read.data(), copyWithoutBlanks({read.data(), read.size()}, read.data())};
}

void splitLine(std::span<char> raw, tSplitLine& line, tStatus& status) {
  line.raw = {};
  line.fieldCount = 0;
  if (isError(status)) return;
  std::size_t size = 0;
  if (splitAtEdges(raw, line, false, size)) {
    line.raw = raw;
    return;
  }
  if (std::memchr(raw.data(), '\0', raw.size()) != nullptr) {
    // A NUL: the line is not the text it looks like.
    line.fieldCount = 0;
    return reportReadError(status);
  }
  // A blank inside a field: the line is stripped where it stands, and what
  // is left has no blank to stop the split.
  line.raw = raw.first(copyWithoutBlanks({raw.data(), raw.size()}, raw.data()));
  (void)splitAtEdges(line.raw, line, false, size);
}

std::size_t splitFirstLine(std::span<char> rest, tSplitLine& line, tStatus& status) {
  line.raw = {};
  line.fieldCount = 0;
  if (isError(status)) return 0;
  std::size_t size = 0;
  if (splitAtEdges(rest, line, true, size)) {
    line.raw = rest.first(size);
    return size;
  }
  if (size == 0) {
    const void* newline = std::memchr(rest.data(), '\n', rest.size());
    if (newline == nullptr) return 0;
    size = static_cast<std::size_t>(static_cast<const char*>(newline) - rest.data()) + 1;
  }
  splitLine(rest.first(size), line, status);
  return size;
}

std::string_view strippedLine(tSplitLine& line) {
  line.raw = line.raw.first(copyWithoutBlanks({line.raw.data(), line.raw.size()}, line.raw.data()));
  line.fieldCount = 0;
  return {line.raw.data(), line.raw.size()};
}

bool isFileAdd(const tSplitLine& line, tMapScope& scope) {
  if (line.fieldCount != 4 || line.fields[1] != "add") return false;
  // parseScopeName without its prefix, which a command file's letters lack.
  const std::optional<tMapScope> named = scopeOfLetter(line.fields[0]);
  if (named) scope = *named;
  return named.has_value();
}

const std::string& removeWhitespace(std::string_view line, tStatus& status) {
  static std::string stripped;
  if (isError(status)) {
    stripped.clear();
    return stripped;
  }
  // A line that is `stripped` itself is compacted in place; only shrinking
  // `stripped` keeps its bytes where they are.
  if (stripped.size() < line.size()) stripped.resize(line.size());
  stripped.resize(copyWithoutBlanks(line, stripped.data()));
  return stripped;
}

bool splitFileLineFields(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t start = 0;
  int depth = 0;
  const bool fewEnough = forEachFieldComma(line, depth, [&](std::size_t comma) {
    if (fields.size() + 1 == kMostFields) return false;
    fields.push_back(line.substr(start, comma - start));
    start = comma + 1;
    return true;
  });
  if (!fewEnough) return false;
  fields.push_back(line.substr(start));
  return true;
}

const tCommandRequest& parseFileLine(std::string_view line, tStatus& status) {
  if (isError(status)) return rejectionRequest();
  static std::vector<std::string_view> fields;
  tCommandRequest& request = lineRequest();
  auto reject = [&]() -> const tCommandRequest& {
    raiseError(status, nCode::kUsage);
    return rejectionRequest();
  };

  if (!splitFileLineFields(line, fields) || fields.size() < 2) return reject();
  tMapScope scope = 0;
  if (!parseScopeName(fields[0], "", scope)) return reject();
  request.setScope(scope, status);

  const std::span<const std::string_view> arguments(fields.begin() + 2, fields.end());
  if (!setCommandWord(request, fields[1], "", arguments, status)) return reject();
  return request;
}

void tCarriedName::take(std::string_view piece) {
  if (!carries) return;
  // The reader ends a line at a newline and refuses a NUL; removeWhitespace
  // drops every blank: a name that holds one is not read back as itself.
  // The line "L,add,C,P" splits into exactly those four fields when the
  // class name has no comma outside brackets and closes every bracket it
  // opens, so that the comma after it splits too, and the path has no
  // comma outside brackets: "L,add," holds neither bracket. A run puts its
  // bitness in place of a "*" in a path: the path would not survive.
  const auto noComma = [](std::size_t) { return false; };
  carries = piece.find_first_of(std::string_view(" \t\r\n\0", 5)) == std::string_view::npos &&
            forEachFieldComma(piece, depth, noComma) &&
            (isClassName || piece.find('*') == std::string_view::npos);
}

bool fileLineCarries(char scopeLetter, std::string_view className, std::string_view libraryPath) {
  tMapScope scope = 0;
  if (!parseScopeName(std::string_view(&scopeLetter, 1), "", scope)) return false;
  tCarriedName carriedClass(true);
  carriedClass.take(className);
  if (!carriedClass.carried()) return false;
  tCarriedName carriedPath(false);
  carriedPath.take(libraryPath);
  return carriedPath.carried();
}

std::optional<std::string> addLineFor(char scopeLetter, std::string_view className,
                                      std::string_view libraryPath) {
  if (!fileLineCarries(scopeLetter, className, libraryPath)) return std::nullopt;
  std::string line{scopeLetter, ','};
  line.append("add,").append(className).append(",").append(libraryPath);
  return line;
}

std::optional<std::string> deleteLineFor(char scopeLetter, std::string_view className) {
  // A delete line ends at the class, which the same rules keep whole; a
  // path that holds nothing a line could lose stands in for the library.
  if (!fileLineCarries(scopeLetter, className, "/")) return std::nullopt;
  std::string line{scopeLetter, ','};
  line.append("delete,").append(className);
  return line;
}

}  // namespace nDRAVI100
