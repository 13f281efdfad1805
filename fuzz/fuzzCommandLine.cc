// The command-line grammar: NUL-separated arguments. An accepted command
// line, written out again in its plain form, parses to the same request.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzCheck.h"
#include "tool/tCommandLine.h"

namespace {

using namespace nDRAVI100;
using enum tCommandKind;

std::vector<std::string> plainForm(const tCommandRequest& request, tStatus& status) {
  std::vector<std::string> arguments{"zembril"};
  if (request.getX64(status) != 0) arguments.push_back("/x64");
  const tCommandKind kind = request.getKind(status);
  if (kind == File) {
    arguments.insert(arguments.end(), {"/file", request.getFilePath(status)});
    return arguments;
  }
  static const char* const kSwitches[] = {"/U", "/K", "/S"};
  static const char* const kWords[] = {"",       "/add",    "/delete",    "/deletelib",
                                       "/reset", "/lookup", "/lookuplib", "/list"};
  arguments.push_back(kSwitches[request.getScope(status)]);
  arguments.push_back(kWords[static_cast<std::size_t>(kind)]);
  if (kind == Add || kind == Delete || kind == Lookup)
    arguments.push_back(request.getClassName(status));
  if (kind == Add || kind == DeleteLib || kind == LookupLib) {
    arguments.push_back(request.getLibraryName(status));
  }
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments{"zembril"};
  std::string current;
  for (std::size_t i = 0; i < size && arguments.size() < 9; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && arguments.size() < 9) arguments.push_back(current);

  tCommandRequest request;
  tStatus status = 0;
  parseCommandLine(request, arguments, status);
  const tCommandKind kind = request.getKind(status);
  if (kind == None) {
    FUZZ_CHECK(status == -88361);
    return 0;
  }
  FUZZ_CHECK(status == 0);
  FUZZ_CHECK(kind >= File && kind <= List);
  FUZZ_CHECK(request.getScope(status) >= 0 && request.getScope(status) <= 2);
  FUZZ_CHECK(arguments.size() >= 3 && arguments.size() <= 6);

  tCommandRequest again;
  parseCommandLine(again, plainForm(request, status), status);
  FUZZ_CHECK(status == 0);
  FUZZ_CHECK(again.getKind(status) == kind);
  FUZZ_CHECK(again.getScope(status) == request.getScope(status));
  FUZZ_CHECK(again.getX64(status) == request.getX64(status));
  FUZZ_CHECK(again.getFilePath(status) == request.getFilePath(status));
  FUZZ_CHECK(again.getClassName(status) == request.getClassName(status));
  FUZZ_CHECK(again.getLibraryName(status) == request.getLibraryName(status));
  return 0;
}
