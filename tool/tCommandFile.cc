#include "tool/tCommandFile.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "persistentStorage/tFile.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {

namespace {

constexpr std::size_t kPieceSize = 256;
constexpr std::size_t kLineRoom = 1024;
constexpr std::size_t kMostFields = 4;

tCommandRequest& lineRequest() {
  static tCommandRequest request;
  return request;
}

const tCommandRequest& rejectionRequest() {
  static const tCommandRequest request;
  return request;
}

}  // namespace

void runCommandFile(const std::string& path, tClassMapStore& store, tStatus& status) {
  if (isError(status)) return;
  // The file is only read; closing it cannot lose anything.
  const tFile file = tFile::open(path, "r");
  if (!file) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  std::int32_t endOfFile = 0;
  while (endOfFile == 0 && !isError(status)) {
    const std::string line = readFileLine(file.get(), endOfFile, status);
    const std::string stripped = removeWhitespace(line, status);
    if (stripped.empty()) continue;
    dispatchCommand(parseFileLine(stripped, status), store, status);
    // One line's warning must not reach the next line or the end of the run.
    if (isWarning(status)) status = 0;
  }
}

std::string readFileLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status) {
  if (isError(status)) return std::string();
  static std::string line;
  line.clear();
  line.reserve(kLineRoom);

  // A comment longer than one piece is dropped whole: its later pieces are
  // skipped until the piece that ends the line.
  bool inComment = false;
  while (std::feof(file) == 0) {
    std::array<char, kPieceSize> piece{};
    // At the end of the file fgets stores nothing and the piece stays empty.
    (void)std::fgets(piece.data(), static_cast<int>(piece.size()), file);
    if (std::ferror(file) != 0) {
      raiseError(status, nCode::kCommandFileRead);
      // The report goes out on a best-effort basis; the status carries the error.
      (void)std::fputs("zembril: File read error!\n", stdout);
      line.clear();
      break;
    }
    const std::size_t length = std::strlen(piece.data());
    const bool endsLine = length > 0 && piece[length - 1] == '\n';
    if (inComment) {
      inComment = !endsLine;
      continue;
    }
    if (line.empty() && piece[0] == '#') {
      inComment = !endsLine;
      continue;
    }
    line.append(piece.data(), length);
    if (endsLine) break;
  }
  if (std::feof(file) != 0) endOfFile = 1;
  return line;
}

std::string removeWhitespace(const std::string& line, tStatus& status) {
  if (isError(status)) return std::string();
  static std::string stripped;
  stripped.reserve(kLineRoom);
  // Room for every byte first, cut to the bytes kept after: a command file
  // of many lines spent most of its time here, one append per byte.
  const std::size_t end = std::min(line.find('\0'), line.size());
  stripped.resize(end);
  char* out = stripped.data();
  const char* const bytes = line.data();
  for (std::size_t at = 0; at < end; ++at) {
    const char byte = bytes[at];
    if (byte != ' ' && byte != '\t' && byte != '\r' && byte != '\n') *out++ = byte;
  }
  stripped.resize(static_cast<std::size_t>(out - stripped.data()));
  return stripped;
}

bool splitFileLineFields(const std::string& line, std::vector<std::string>& fields) {
  // Each field is copied in one piece once its end is found, and the bytes
  // between the three that matter are skipped in a tight loop.
  static constexpr auto kMatters = [] {
    std::array<bool, 256> matters{};
    for (const char byte : {',', '<', '>'}) matters[static_cast<unsigned char>(byte)] = true;
    return matters;
  }();
  fields.resize(1);
  std::size_t start = 0;
  std::size_t used = 0;
  int depth = 0;
  const std::size_t size = line.size();
  const char* const bytes = line.data();
  for (std::size_t at = 0;; ++at) {
    while (at < size && !kMatters[static_cast<unsigned char>(bytes[at])]) ++at;
    if (at == size) break;
    if (bytes[at] == '<') {
      ++depth;
    } else if (bytes[at] == '>') {
      if (depth > 0) --depth;
    } else if (depth == 0) {
      if (used + 1 == kMostFields) return false;
      fields[used].assign(line, start, at - start);
      ++used;
      if (fields.size() <= used) fields.resize(used + 1);
      start = at + 1;
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

}  // namespace nDRAVI100
