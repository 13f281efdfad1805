#include "sync/tSyncPlan.h"

#include <algorithm>
#include <array>
#include <map>
#include <utility>

#include "classMap/tMapScope.h"

namespace nDRAVI100 {

namespace {

std::string scopeLetter(tMapScope scope) { return {letterOfScope(scope)}; }

constexpr std::array<std::pair<tRecordState, std::string_view>, 5> kStateWords = {{
    {tRecordState::bound, "bound"},
    {tRecordState::binding, "binding"},
    {tRecordState::unbinding, "unbinding"},
    {tRecordState::unbound, "unbound"},
    {tRecordState::lost, "lost"},
}};

std::string_view stateWord(tRecordState state) {
  for (const auto& [known, word] : kStateWords) {
    if (known == state) return word;
  }
  return "bound";
}

// A line that stands for a binding the declarations made or are making.
bool isBinding(const tRecordedBinding& entry) {
  return entry.state == tRecordState::bound || entry.state == tRecordState::binding ||
         entry.state == tRecordState::unbinding;
}

void sortRecord(tRecord& record) {
  std::sort(record.begin(), record.end());
  record.erase(std::unique(record.begin(), record.end()), record.end());
}

}  // namespace

std::string formatRecord(const tRecord& record) {
  std::string text;
  for (const tRecordedBinding& entry : record) {
    text += std::string(stateWord(entry.state)) + " " + scopeLetter(entry.scope) + " " +
            entry.className + " " + entry.library + " " + entry.package + "\n";
  }
  return text;
}

tResult<tRecord> parseRecord(std::string_view text) {
  tRecord record;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    ++number;
    if (end == std::string_view::npos) {
      return tFailure("line " + std::to_string(number) + " has no end");
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    // Fields, none empty, one space between each.
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
      const std::size_t space = line.find(' ', start);
      fields.push_back(line.substr(start, space - start));
      if (space == std::string_view::npos) break;
      start = space + 1;
    }
    tRecordedBinding entry;
    if (fields.size() == 4) {
      entry.state = tRecordState::binding;
      fields.insert(fields.begin(), "binding");
    }
    const auto word = std::find_if(kStateWords.begin(), kStateWords.end(),
                                   [&](const auto& known) { return known.second == fields[0]; });
    const bool fits = fields.size() == 5 && word != kStateWords.end() &&
                      std::none_of(fields.begin(), fields.end(),
                                   [](std::string_view field) { return field.empty(); }) &&
                      persistentScopeOfLetter(fields[1]).has_value();
    if (!fits) return tFailure("line " + std::to_string(number) + " does not fit");
    record.push_back({*persistentScopeOfLetter(fields[1]), std::string(fields[2]),
                      std::string(fields[3]), std::string(fields[4]), word->first});
  }
  sortRecord(record);
  return record;
}

tSyncPlan planSync(const std::vector<tDeclaration>& declared, const tRecord& recorded,
                   const std::set<std::string>& held, const tBoundLibrary& bound,
                   std::string_view mapName) {
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
  std::set<tKey> changed;
  // Plain names, not structured bindings: the lambdas below capture them.
  for (const auto& claim : claims) {
    const tKey& key = claim.first;
    const std::vector<const tDeclaration*>& candidates = claim.second;
    const tMapScope scope = key.first;
    const std::string& className = key.second;
    const std::vector<const tRecordedBinding*>& entries = records[key];
    const auto recordedAs = [&](tRecordState state) {
      const auto found = std::find_if(entries.begin(), entries.end(),
                                      [&](const auto* entry) { return entry->state == state; });
      return found == entries.end() ? nullptr : *found;
    };
    const std::optional<std::string> current = bound(scope, className);
    const tRecordedBinding* owner = nullptr;
    if (current) {
      for (const tRecordedBinding* entry : entries) {
        if (isBinding(*entry) && entry->library == *current) owner = entry;
      }
    }
    const std::string where = std::string(mapName) + " " + scopeLetter(scope) + " map: ";
    // Each declaration of another library than `holder` loses; it is
    // reported once, when it first loses.
    const auto lose = [&](const std::string& holder, const std::string& why) {
      for (const tDeclaration* candidate : candidates) {
        if (candidate->library == holder) continue;
        tRecordedBinding loser{scope, className, candidate->library, candidate->package,
                               tRecordState::lost};
        if (std::find(recorded.begin(), recorded.end(), loser) == recorded.end()) {
          std::string notice = where + className;
          notice += " stays bound to " + holder;
          notice += ", " + why;
          notice += "; " + candidate->package;
          notice += " declares " + candidate->library;
          plan.notices.push_back(std::move(notice));
        }
        plan.record.push_back(std::move(loser));
      }
    };
    // Someone else's binding stays as it is.
    if (current && owner == nullptr) {
      lose(*current, "which no declaration bound");
      continue;
    }
    // A package whose declaration cannot be read keeps what it holds.
    if (owner != nullptr && held.contains(owner->package)) {
      plan.record.push_back({scope, className, *current, owner->package, tRecordState::bound});
      lose(*current, "as " + owner->package + " declared");
      continue;
    }
    if (!current) {
      if (const tRecordedBinding* mark = recordedAs(tRecordState::unbound)) {
        plan.record.push_back(*mark);
        continue;
      }
      // Unbound by hand, unless its package is gone. One whose declaration
      // cannot be read now is not gone: the mark keeps the class unbound
      // once the file is mended.
      const tRecordedBinding* made = recordedAs(tRecordState::bound);
      if (made != nullptr && (!candidates.empty() || held.contains(made->package))) {
        plan.record.push_back(
            {scope, className, made->library, made->package, tRecordState::unbound});
        std::string notice = where + className;
        notice +=
            " was unbound by hand: no declaration binds it again until it is bound by hand or "
            "handed back with 'zembril-sync --hand-back=";
        notice += className + "'";
        plan.notices.push_back(std::move(notice));
        continue;
      }
    }
    // The package that holds the class keeps it while it declares it.
    const tDeclaration* winner = candidates.empty() ? nullptr : candidates.front();
    for (const tDeclaration* candidate : candidates) {
      if (owner != nullptr && candidate->package == owner->package) winner = candidate;
    }
    if (winner == nullptr) {
      if (current) {
        plan.steps.push_back({false, scope, className, ""});
        changed.insert(key);
      }
      continue;
    }
    if (!current || winner->library != *current) {
      if (current) plan.steps.push_back({false, scope, className, ""});
      plan.steps.push_back({true, scope, className, winner->library});
      changed.insert(key);
    }
    plan.record.push_back({scope, className, winner->library, winner->package});
    lose(winner->library, "as " + winner->package + " declares");
  }
  // What a package whose declaration cannot be read lost was reported; it
  // is not reported again once the file is mended.
  for (const tRecordedBinding& entry : recorded) {
    if (entry.state == tRecordState::lost && held.contains(entry.package)) {
      plan.record.push_back(entry);
    }
  }
  sortRecord(plan.record);

  if (!plan.steps.empty()) {
    for (const tRecordedBinding& entry : recorded) {
      if (!changed.contains({entry.scope, entry.className}) || !isBinding(entry)) {
        plan.before.push_back(entry);
        continue;
      }
      // Left as it is, a line the run is about to bind is added below.
      tRecordedBinding staying = entry;
      staying.state = tRecordState::bound;
      if (std::find(plan.record.begin(), plan.record.end(), staying) != plan.record.end()) continue;
      plan.before.push_back(entry);
      plan.before.back().state = tRecordState::unbinding;
    }
    for (const tRecordedBinding& entry : plan.record) {
      if (changed.contains({entry.scope, entry.className}) && isBinding(entry)) {
        plan.before.push_back(entry);
        plan.before.back().state = tRecordState::binding;
      }
    }
    sortRecord(plan.before);
  } else {
    plan.before = recorded;
  }
  return plan;
}

std::vector<std::string> missingLibraryNotices(const tRecord& record, const tLibraryFound& found,
                                               std::string_view mapName) {
  std::vector<std::string> notices;
  for (const tRecordedBinding& entry : record) {
    // A relative path is the loader's to search for.
    if (entry.state != tRecordState::bound || !entry.library.starts_with('/') ||
        found(entry.library)) {
      continue;
    }
    notices.push_back(std::string(mapName) + " " + scopeLetter(entry.scope) +
                      " map: " + entry.className + " is bound to " + entry.library + " as " +
                      entry.package + " declares, but no regular file is there; the binding stays");
  }
  return notices;
}

}  // namespace nDRAVI100
