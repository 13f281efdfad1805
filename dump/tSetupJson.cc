#include "dump/tSetupJson.h"

#include <string_view>
#include <utility>

#include "cli/tProgramVoice.h"
#include "cli/tTextEscaping.h"
#include "dump/tDumpProgram.h"

namespace nDRAVI100 {

namespace {

std::string quoted(std::string_view bytes) { return '"' + escapeForJson(bytes) + '"'; }

// A string that a finding quotes, as the text form quotes it; one quoted in
// part is followed by the member `name` + "Bytes" with its whole length.
std::string quotedInPart(const std::string& name, const tQuotedString& text) {
  std::string value = '"' + text.forJson() + '"';
  if (!text.inPart()) return value;
  return value + ", \"" + name + "Bytes\": " + std::to_string(text.length);
}

std::string_view stateWord(tMapFileState state) {
  switch (state) {
    case tMapFileState::absent:
      return "absent";
    case tMapFileState::whole:
      return "whole";
    case tMapFileState::damaged:
      return "damaged";
    case tMapFileState::copyUnfinished:
      return "copy-unfinished";
    case tMapFileState::notRegular:
      return "not-regular";
    case tMapFileState::cannotOpen:
      return "cannot-open";
    case tMapFileState::readFailed:
      return "read-failed";
    case tMapFileState::unsettled:
      return "unsettled";
  }
  return "unknown";
}

std::string_view actionWord(tMapAction action) {
  switch (action) {
    case tMapAction::keep:
      return "keep";
    case tMapAction::finishCopy:
      return "finish-copy";
    case tMapAction::setAside:
      return "set-aside";
    case tMapAction::fail:
      return "fail";
  }
  return "unknown";
}

// The members of a JSON object or array, one a line, at `indent`.
class tMembers {
 public:
  explicit tMembers(std::string depth) : indent(std::move(depth)) {}
  void add(const std::string& member) { text += (text.empty() ? "\n" : ",\n") + indent + member; }
  // "{...}" or "[...]", the closing one at `indent` less two.
  [[nodiscard]] std::string enclosed(char open, char close) const {
    if (text.empty()) return {open, close};
    return open + text + "\n" + indent.substr(2) + close;
  }

 private:
  std::string indent;
  std::string text;
};

std::string lockJson(const tSetupHealth& health) {
  tMembers lock("    ");
  lock.add("\"file\": " + quoted(health.lockFile));
  // Every state has every member, so that a reader needs no case for one;
  // a holder that could not be looked for is none found.
  if (!health.locks) {
    lock.add("\"state\": \"unknown\"");
    lock.add("\"why\": " + quoted(health.locks.failure().message()));
    lock.add("\"holder\": null");
    lock.add("\"waiting\": 0");
    return lock.enclosed('{', '}');
  }
  const tFileLocks& locks = *health.locks;
  lock.add(std::string("\"state\": ") + (locks.holders.empty() ? "\"free\"" : "\"held\""));
  if (locks.holders.empty()) {
    lock.add("\"holder\": null");
  } else {
    const tLockProcess& holder = locks.holders.front();
    lock.add("\"holder\": {\"pid\": " + std::to_string(holder.pid) + ", \"commandLine\": " +
             quoted(holder.commandLine) + ", \"takenBy\": " + std::to_string(holder.takenBy) + "}");
  }
  lock.add("\"waiting\": " + std::to_string(locks.waiters.size()));
  return lock.enclosed('{', '}');
}

}  // namespace

void writeSetupJson(const tSetupHealth& health, std::FILE* out) {
  const tFindings& findings = health.findings;
  tMembers document("  ");
  document.add("\"status\": " + std::to_string(findings.healthy() ? kDumpHealthy : kDumpAttention));
  document.add("\"summary\": " + quoted(findings.summary()));
  document.add("\"root\": " + quoted(health.root.empty() ? "/" : health.root));

  tMembers list("    ");
  for (const tFinding& finding : findings.all()) {
    list.add("{\"what\": " + quoted(finding.subject.what) +
             ", \"where\": " + quoted(finding.subject.where) +
             ", \"severity\": " + (finding.needsAttention ? "\"attention\"" : "\"ok\"") +
             ", \"label\": " + quoted(finding.subject.label) +
             ", \"message\": " + quoted(finding.message) + "}");
  }
  document.add("\"findings\": " + list.enclosed('[', ']'));
  document.add("\"lock\": " + lockJson(health));

  tMembers mapFiles("    ");
  for (const tCheckedMapFile& mapFile : health.mapFiles) {
    mapFiles.add("{\"file\": " + quoted(mapFile.path) + ", \"state\": \"" +
                 std::string(stateWord(mapFile.map.state)) + "\", \"recovery\": {\"action\": \"" +
                 std::string(actionWord(mapFile.plan.map)) + "\", \"removesTemporaryFile\": " +
                 (mapFile.plan.removeTemporaryFile ? "true" : "false") + "}}");
  }
  document.add("\"mapFiles\": " + mapFiles.enclosed('[', ']'));

  tMembers missing("    ");
  for (const auto& [mapFile, binding] : health.missing) {
    missing.add("{\"file\": " + quoted(mapFile) + ", \"scope\": \"" + std::string{binding.letter} +
                "\", \"class\": " + quotedInPart("class", binding.className) +
                ", \"library\": " + quotedInPart("library", binding.library) +
                ", \"why\": " + quoted(binding.lookup.why) + "}");
  }
  document.add("\"missing\": " + missing.enclosed('[', ']'));
  put(out, document.enclosed('{', '}') + "\n");
}

}  // namespace nDRAVI100
