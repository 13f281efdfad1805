#include "dump/tCommandFileLine.h"

#include <cstdio>

#include "persistentStorage/tFile.h"
#include "tool/tCommandDispatch.h"
#include "tool/tCommandFile.h"
#include "tool/tCommandRequest.h"

namespace nDRAVI100 {

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
