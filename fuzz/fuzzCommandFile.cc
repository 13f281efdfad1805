// The command-file reader and line parser. Every line handed out is free of
// NULs and holds a newline only as its last byte, so no line ever runs into
// the next; a stripped line holds no blank; an accepted line's fields, joined
// with commas, give the stripped line back. tCommandFileReader, which zembril
// reads a command file with, yields the same stripped lines and fields, and
// takes a line for an add exactly when parseFileLine does.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "classMap/tCommandFileGrammar.h"
#include "classMap/tCommandFileReader.h"
#include "fuzzCheck.h"

using namespace nDRAVI100;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string content(reinterpret_cast<const char*>(data), size);
  if (content.empty()) return 0;
  std::FILE* file = ::fmemopen(content.data(), content.size(), "r");
  if (file == nullptr) return 0;
  std::int32_t endOfFile = 0;
  tStatus status = 0;
  std::size_t lines = 0;
  // What each line comes to: stripped, its fields and whether it is an add.
  std::vector<std::string> seen;
  while (endOfFile == 0 && status >= 0) {
    FUZZ_CHECK(++lines <= size + 1);
    const std::string line = readFileLine(file, endOfFile, status);
    FUZZ_CHECK(line.find('\0') == std::string::npos);
    FUZZ_CHECK(line.find('\n') == std::string::npos || line.find('\n') + 1 == line.size());
    FUZZ_CHECK(status == 0 || status == -1);
    FUZZ_CHECK(line.empty() || line[0] != '#');
    const std::string stripped = removeWhitespace(line, status);
    FUZZ_CHECK(stripped.find_first_of(std::string(" \t\r\n\0", 5)) == std::string::npos);
    if (stripped.empty()) continue;

    {
      std::vector<std::string_view> split;
      // A line of too many fields has none.
      const bool fewEnough = splitFileLineFields(stripped, split);
      std::string each = stripped + (fewEnough ? "" : " many");
      for (std::size_t i = 0; fewEnough && i < split.size(); ++i) each.append("|").append(split[i]);
      tStatus own = 0;
      const bool add = parseFileLine(stripped, own).getKind(own) == tCommandKind::Add;
      seen.push_back(each + (add ? " add" : ""));
    }
    const tCommandRequest& request = parseFileLine(stripped, status);
    if (request.getKind(status) == tCommandKind::None) {
      FUZZ_CHECK(status == -88361);
      break;
    }
    FUZZ_CHECK(status == 0);
    std::vector<std::string_view> fields;
    FUZZ_CHECK(splitFileLineFields(stripped, fields));
    std::string joined(fields[0]);
    for (std::size_t i = 1; i < fields.size(); ++i) joined.append(",").append(fields[i]);
    FUZZ_CHECK(joined == stripped);
    FUZZ_CHECK(fields.size() >= 2 && fields.size() <= 4);
  }
  FUZZ_CHECK(std::fclose(file) == 0);

  // zembril's own reader, through a file of the same bytes.
  const int descriptor = ::memfd_create("commands", MFD_CLOEXEC);
  if (descriptor < 0) return 0;
  FUZZ_CHECK(::write(descriptor, content.data(), content.size()) ==
             static_cast<ssize_t>(content.size()));
  FUZZ_CHECK(::lseek(descriptor, 0, SEEK_SET) == 0);
  endOfFile = 0;
  status = 0;
  std::size_t line = 0;
  {
    tCommandFileReader reader(descriptor);
    while (endOfFile == 0 && status >= 0 && line < seen.size()) {
      tSplitLine split;
      reader.next(split, endOfFile, status);
      if (isError(status) || split.empty()) continue;
      std::string fields = split.fieldCount == 0 ? " many" : "";
      for (std::size_t i = 0; i < split.fieldCount; ++i) fields.append("|").append(split.fields[i]);
      tMapScope scope = 0;
      const bool add = isFileAdd(split, scope);
      // Stripping the line moves its bytes: the fields were copied first.
      const std::string each = std::string(strippedLine(split)) + fields + (add ? " add" : "");
      FUZZ_CHECK(each == seen[line]);
      ++line;
    }
  }
  FUZZ_CHECK(line == seen.size());
  (void)::close(descriptor);
  return 0;
}
