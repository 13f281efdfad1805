#include "classMap/tMapScope.h"

namespace nDRAVI100 {

namespace {

constexpr char kLetters[] = {'U', 'K', 'S'};

}  // namespace

char letterOfScope(tMapScope scope) { return scope >= 0 && scope < 3 ? kLetters[scope] : '?'; }

std::optional<tMapScope> persistentScopeOfLetter(std::string_view letter) {
  for (tMapScope scope = 0; scope < 2; ++scope) {
    if (letter.size() == 1 && letter[0] == kLetters[scope]) return scope;
  }
  return std::nullopt;
}

}  // namespace nDRAVI100
