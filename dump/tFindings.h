// The findings of --check, as the parts of the check add them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace nDRAVI100 {

// What a finding is about: its kind, one word that stays the same from
// release to release ("map-file"); the path it concerns, as found, not
// escaped; and its label in the text form ("dravimap").
struct tSubject {
  std::string what;
  std::string where;
  std::string label;
};

// One finding: what it is about, what the text form says of it, and
// whether it needs attention.
struct tFinding {
  tSubject subject;
  std::string message;
  bool needsAttention = false;
};

// The findings of one check, printed once all are known so that the labels
// line up, and a summary of how many need attention.
class tFindings {
 public:
  void add(tSubject subject, std::string message, bool needsAttention);
  [[nodiscard]] bool healthy() const { return problems == 0; }
  [[nodiscard]] const std::vector<tFinding>& all() const { return lines; }
  // "healthy", or "N thing(s) need(s) attention".
  [[nodiscard]] std::string summary() const;
  // The lines, then "summary" with the summary.
  void write(std::FILE* out) const;

 private:
  std::vector<tFinding> lines;
  int problems = 0;
};

// How a finding names a user or a group: "0 (root)", or the bare number
// when no name is known.
[[nodiscard]] std::string userName(uid_t uid);
[[nodiscard]] std::string groupName(gid_t gid);

// How a finding names zembril's error `code` (a positive code of nCode):
// as zembril prints it, with its minus sign.
[[nodiscard]] std::string errorText(std::int32_t code);

}  // namespace nDRAVI100
