#include "dump/tFindings.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "cli/tProgramVoice.h"

namespace nDRAVI100 {

void tFindings::add(tSubject subject, std::string message, bool needsAttention) {
  lines.push_back({std::move(subject), std::move(message), needsAttention});
  if (needsAttention) ++problems;
}

std::string tFindings::summary() const {
  if (problems == 0) return "healthy";
  return std::to_string(problems) + (problems == 1 ? " thing needs" : " things need") +
         " attention";
}

void tFindings::write(std::FILE* out) const {
  std::size_t width = std::string_view("summary").size();
  for (const auto& line : lines) width = std::max(width, line.subject.label.size());
  const auto writeLine = [&](const std::string& label, const std::string& message) {
    put(out, label + std::string(width + 2 - label.size(), ' ') + message + '\n');
  };
  for (const auto& line : lines) writeLine(line.subject.label, line.message);
  writeLine("summary", summary());
}

std::string userName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return std::to_string(uid) + (entry != nullptr ? std::string(" (") + entry->pw_name + ")" : "");
}

std::string groupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return std::to_string(gid) + (entry != nullptr ? std::string(" (") + entry->gr_name + ")" : "");
}

std::string errorText(std::int32_t code) { return std::to_string(-code); }

}  // namespace nDRAVI100
