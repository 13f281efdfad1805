// The three maps a command names, and the letters that name them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace nDRAVI100 {

// The map a command works on: 0 for "/U", 1 for "/K", 2 for "/S". Kept as a
// plain integer because a request may carry any value and the dispatch must
// be able to reject the ones that name no map. The numbers are fixed: the
// command line, command files, the store and zembril-sync's records agree
// on them.
using tMapScope = std::int32_t;

// Returns the scope of a scope letter, U, K or S in either case, or nothing
// for any other text. Defined here so that the optional vanishes where it
// is called: every add line of a command file asks, and g++ returned it
// from a call in two pieces through the stack, a stall each time.
[[nodiscard]] inline std::optional<tMapScope> scopeOfLetter(std::string_view letter) {
  if (letter.size() != 1) return std::nullopt;
  switch (letter[0]) {
    case 'U':
    case 'u':
      return 0;
    case 'K':
    case 'k':
      return 1;
    case 'S':
    case 's':
      return 2;
    default:
      return std::nullopt;
  }
}

// Returns the upper-case letter of scope 0, 1 or 2 ('U', 'K', 'S'), or '?'.
[[nodiscard]] char letterOfScope(tMapScope scope);

// Returns the scope of a persistent map as the files of declarations and
// records write it, "U" or "K" in upper case only, or nothing.
[[nodiscard]] std::optional<tMapScope> persistentScopeOfLetter(std::string_view letter);

}  // namespace nDRAVI100
