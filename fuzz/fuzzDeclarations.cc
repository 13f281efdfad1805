// The declaration parser, which zembril-sync runs as root over the files
// that packages ship. What it accepts reads back the same: each binding
// written out again as a line of four fields parses to the same bindings,
// and holds only what a declaration may hold. What it refuses yields no
// binding at all, so no map changes for it, and the reason quotes the
// file's bytes escaped: it goes to the administrator's terminal.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzzCheck.h"
#include "sync/tDeclarations.h"

using namespace nDRAVI100;

namespace {

bool holdsRawControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value < 0x20 || value == 0x7F;
  });
}

bool sameBindings(const std::vector<tDeclaration>& a, const std::vector<tDeclaration>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.x64 == y.x64 && x.scope == y.scope && x.className == y.className &&
           x.library == y.library && x.package == y.package;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tResult<std::vector<tDeclaration>> parsed = parseDeclarations(text, "libfuzz1");
  if (!parsed) {
    FUZZ_CHECK(!holdsRawControl(parsed.failure().message()));
    return 0;
  }
  std::string written;
  for (const tDeclaration& declaration : *parsed) {
    FUZZ_CHECK(declaration.package == "libfuzz1");
    FUZZ_CHECK(declaration.scope == 0 || declaration.scope == 1);
    FUZZ_CHECK(!declaration.className.empty() && !declaration.library.empty());
    FUZZ_CHECK(declaration.library.front() == '/');
    for (const std::string& field : {declaration.className, declaration.library}) {
      FUZZ_CHECK(!holdsRawControl(field));
      FUZZ_CHECK(field.find(' ') == std::string::npos);
      FUZZ_CHECK(field.find("\xef\xbb\xbf") == std::string::npos);
    }
    written += std::string(declaration.x64 ? "64" : "32") +
               (declaration.scope == 0 ? " U " : " K ") + declaration.className + " " +
               declaration.library + "\n";
  }
  const tResult<std::vector<tDeclaration>> again = parseDeclarations(written, "libfuzz1");
  FUZZ_CHECK(static_cast<bool>(again));
  FUZZ_CHECK(sameBindings(*parsed, *again));
  return 0;
}
