#include "sync/tSyncPlan.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace nDRAVI100 {

namespace {

const char* scopeLetter(tMapScope scope) { return scope == 0 ? "U" : "K"; }

}  // namespace

std::string formatRecord(const tRecord& record) {
  std::string text;
  for (const tRecordedBinding& entry : record) {
    text += std::string(scopeLetter(entry.scope)) + " " + entry.className + " " + entry.library +
            " " + entry.package + "\n";
  }
  return text;
}

bool parseRecord(std::string_view text, tRecord& record, std::string& error) {
  record.clear();
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    ++number;
    if (end == std::string_view::npos) {
      error = "line " + std::to_string(number) + " has no end";
      return false;
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    // Four fields, none empty, one space between each.
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
      const std::size_t space = line.find(' ', start);
      fields.push_back(line.substr(start, space - start));
      if (space == std::string_view::npos) break;
      start = space + 1;
    }
    const bool fits = fields.size() == 4 &&
                      std::none_of(fields.begin(), fields.end(),
                                   [](std::string_view field) { return field.empty(); }) &&
                      (fields[0] == "U" || fields[0] == "K");
    if (!fits) {
      error = "line " + std::to_string(number) + " does not fit";
      return false;
    }
    record.push_back({fields[0] == "U" ? 0 : 1, std::string(fields[1]), std::string(fields[2]),
                      std::string(fields[3])});
  }
  std::sort(record.begin(), record.end());
  record.erase(std::unique(record.begin(), record.end()), record.end());
  return true;
}

tRecord mergeRecords(const tRecord& first, const tRecord& second) {
  tRecord merged;
  std::set_union(first.begin(), first.end(), second.begin(), second.end(),
                 std::back_inserter(merged));
  return merged;
}

tSyncPlan planSync(const std::vector<tDeclaration>& declared, const tRecord& recorded,
                   const tBoundLibrary& bound, std::string_view mapName) {
  using tKey = std::pair<tMapScope, std::string>;
  std::map<tKey, std::vector<const tDeclaration*>> claims;
  for (const tDeclaration& declaration : declared) {
    claims[{declaration.scope, declaration.className}].push_back(&declaration);
  }
  std::map<tKey, std::vector<const tRecordedBinding*>> records;
  for (const tRecordedBinding& entry : recorded) {
    claims.try_emplace({entry.scope, entry.className});
    records[{entry.scope, entry.className}].push_back(&entry);
  }

  tSyncPlan plan;
  for (const auto& [key, candidates] : claims) {
    const auto& [scope, className] = key;
    const std::optional<std::string> current = bound(scope, className);
    const tRecordedBinding* owner = nullptr;
    if (current) {
      for (const tRecordedBinding* entry : records[key]) {
        if (entry->library == *current) owner = entry;
      }
    }
    const std::string where = std::string(mapName) + " " + scopeLetter(scope) + " map: ";
    // Someone else's binding stays as it is.
    if (current && owner == nullptr) {
      for (const tDeclaration* candidate : candidates) {
        if (candidate->library == *current) continue;
        plan.notices.push_back(where + className + " stays bound to " + *current +
                               ", which no declaration bound; " + candidate->package +
                               " declares " + candidate->library);
      }
      continue;
    }
    // The package that holds the class keeps it while it declares it.
    const tDeclaration* winner = candidates.empty() ? nullptr : candidates.front();
    for (const tDeclaration* candidate : candidates) {
      if (owner != nullptr && candidate->package == owner->package) winner = candidate;
    }
    if (winner == nullptr) {
      plan.steps.push_back({false, scope, className, ""});
      continue;
    }
    if (!current || winner->library != *current) {
      if (current) plan.steps.push_back({false, scope, className, ""});
      plan.steps.push_back({true, scope, className, winner->library});
    }
    plan.record.push_back({scope, className, winner->library, winner->package});
    for (const tDeclaration* candidate : candidates) {
      if (candidate->library == winner->library) continue;
      plan.notices.push_back(where + className + " stays bound to " + winner->library + ", as " +
                             winner->package + " declares; " + candidate->package + " declares " +
                             candidate->library);
    }
  }
  std::sort(plan.record.begin(), plan.record.end());
  return plan;
}

}  // namespace nDRAVI100
