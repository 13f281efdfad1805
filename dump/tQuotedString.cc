#include "dump/tQuotedString.h"

#include <algorithm>

#include "cli/tTextEscaping.h"

namespace nDRAVI100 {

namespace {

// "67,108,864": a length of that many digits is read at a glance.
std::string withThousands(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string ending(const tQuotedString& quote) {
  return quote.inPart() ? "... (" + withThousands(quote.length) + " bytes)" : "";
}

}  // namespace

std::string tQuotedString::forText() const { return escapeForText(bytes) + ending(*this); }

std::string tQuotedString::forJson() const { return escapeForJson(bytes) + ending(*this); }

tQuotedString quoteOf(std::string_view head, std::uint64_t length) {
  if (length <= kLongestQuotedWhole) return {std::string(head), length};
  std::size_t cut = std::min(head.size(), kQuotedPrefix);
  // Back to the start of the character that the cut would split: a UTF-8
  // continuation byte (10xxxxxx) never starts one, and at most three follow
  // a first byte.
  const auto continues = [&](std::size_t at) {
    return at < head.size() && (static_cast<unsigned char>(head[at]) & 0xC0) == 0x80;
  };
  for (int back = 0; back < 3 && cut > 0 && continues(cut); ++back) --cut;
  return {std::string(head.substr(0, cut)), length};
}

}  // namespace nDRAVI100
