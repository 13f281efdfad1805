#include "dump/tQuotedString.h"

#include <algorithm>

#include "cli/tTextEscaping.h"

namespace nDRAVI100 {

namespace {

// "67,108,864": a length of that many digits is read at a glance. Built
// front to back: GCC 12 at -O2 warns (-Wrestrict) of copies that cannot
// happen in an insert into the digits or in "..." + a string.
std::string withThousands(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string grouped;
  for (std::size_t at = 0; at < digits.size(); ++at) {
    if (at != 0 && (digits.size() - at) % 3 == 0) grouped += ',';
    grouped += digits[at];
  }
  return grouped;
}

std::string ending(const tQuotedString& quote) {
  if (!quote.inPart()) return std::string();
  std::string text = "... (";
  text += withThousands(quote.length);
  text += " bytes)";
  return text;
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
