#include "dump/tLibraryCheck.h"

#include <vector>

#include "os/tDirectory.h"

namespace nDRAVI100 {

namespace {

std::string bindingsOf(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " binding" : " bindings");
}

// "U gizmo.Widget /usr/lib/libgizmo.so (missing); ..." for the first few,
// then how many more.
std::string firstFew(const std::vector<tUnfoundBinding>& bindings, bool withWhy) {
  std::string text;
  for (std::size_t at = 0; at < bindings.size() && at < kFirstFewBindings; ++at) {
    const tUnfoundBinding& binding = bindings[at];
    text += (at == 0 ? "" : "; ") + std::string{binding.letter, ' '} + binding.className.forText() +
            " " + binding.library.forText() + (withWhy ? " (" + binding.lookup.why + ")" : "");
  }
  if (bindings.size() > kFirstFewBindings) {
    text += "; and " + std::to_string(bindings.size() - kFirstFewBindings) + " more";
  }
  return text;
}

}  // namespace

void checkLibraries(const std::string& mapFile, bool x64, const tLibraryCensus& census,
                    tFindings& findings) {
  const std::string name = fileNameOf(mapFile) + ": ";
  if (!census.missing.empty()) {
    const std::size_t count = census.missing.size();
    findings.add({"missing-libraries", mapFile, "missing"},
                 name + bindingsOf(count) + (count == 1 ? " names a library" : " name libraries") +
                     " that the loader cannot load: " + firstFew(census.missing, true) +
                     "; 'zembril-dump " + (x64 ? "--x64 " : "") + "--missing' lists " +
                     (count == 1 ? "it" : "them all"),
                 true);
  }
  if (!census.relative.empty()) {
    const std::size_t count = census.relative.size();
    findings.add({"relative-libraries", mapFile, "relative"},
                 name + bindingsOf(count) + (count == 1 ? " names its library" : " name theirs") +
                     " by a relative path, which the loader searches for, so " +
                     (count == 1 ? "it is" : "they are") +
                     " not looked up: " + firstFew(census.relative, false),
                 false);
  }
  if (!census.unknown.empty()) {
    findings.add({"unexamined-libraries", mapFile, "unexamined"},
                 name + "the libraries of " + bindingsOf(census.unknown.size()) +
                     " cannot be examined: " + firstFew(census.unknown, true),
                 false);
  }
}

}  // namespace nDRAVI100
