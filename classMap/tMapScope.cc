#include "classMap/tMapScope.h"

namespace nDRAVI100 {

namespace {

constexpr char kLetters[] = {'U', 'K', 'S'};

}  // namespace

std::optional<tMapScope> scopeOfLetter(std::string_view letter) {
  if (letter.size() != 1) return std::nullopt;
  // Either case names the same map.
  const char upper =
      letter[0] >= 'a' && letter[0] <= 'z' ? static_cast<char>(letter[0] - 32) : letter[0];
  for (tMapScope scope = 0; scope < 3; ++scope) {
    if (kLetters[scope] == upper) return scope;
  }
  return std::nullopt;
}

char letterOfScope(tMapScope scope) { return scope >= 0 && scope < 3 ? kLetters[scope] : '?'; }

std::optional<tMapScope> persistentScopeOfLetter(std::string_view letter) {
  for (tMapScope scope = 0; scope < 2; ++scope) {
    if (letter.size() == 1 && letter[0] == kLetters[scope]) return scope;
  }
  return std::nullopt;
}

}  // namespace nDRAVI100
