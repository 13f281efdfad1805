#include "tool/tCommandFile.h"

#include <array>
#include <cstring>

#include "persistentStorage/tFile.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {

namespace {

constexpr std::size_t kPieceSize = 256;
constexpr std::size_t kLineRoom = 1024;
constexpr std::size_t kFieldRoom = 30;
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
  stripped.clear();
  stripped.reserve(kLineRoom);
  for (const char byte : line) {
    if (byte == '\0') break;
    if (byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n') continue;
    stripped.push_back(byte);
  }
  return stripped;
}

bool splitFileLineFields(const std::string& line, std::vector<std::string>& fields) {
  fields.assign(1, std::string());
  fields.back().reserve(kFieldRoom);
  int depth = 0;
  for (const char byte : line) {
    if (byte == ',' && depth == 0) {
      if (fields.size() == kMostFields) return false;
      fields.emplace_back().reserve(kFieldRoom);
      continue;
    }
    if (byte == '<') ++depth;
    if (byte == '>' && depth > 0) --depth;
    fields.back().push_back(byte);
  }
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
