// --check --format=json: what --check found, as one JSON document for a
// monitoring job or a playbook.
#pragma once

#include <cstdio>

#include "dump/tSetupCheck.h"

namespace nDRAVI100 {

// Writes `health` to `out` as one JSON object, every string escaped by
// escapeForJson, paths as found (not escaped for text):
//   "status": the exit status that --check gives (0 healthy, 1 attention);
//   "summary": the text form's summary ("healthy", "2 things need attention");
//   "root": the root as given, "/" for the running system;
//   "findings": each finding in the text form's order, as {"what": its kind,
//     "where": the path it concerns, "severity": "attention" or "ok",
//     "label": and "message": the text form's line};
//   "lock": {"file", "state": "free", "held" or "unknown", "holder": null or
//     {"pid", "commandLine", "takenBy"}, "waiting": how many wait, "why": why
//     it is unknown, only then};
//   "mapFiles": for dravimap and dravimap64, {"file", "state": how it was
//     read (absent, whole, damaged, copy-unfinished, not-regular,
//     cannot-open, read-failed, unsettled), "recovery": {"action": what the
//     next run that takes the lock does with it (keep, finish-copy,
//     set-aside, fail), "removesTemporaryFile"}};
//   "missing": every binding of a whole map file whose library is not
//     there, as {"file": the map file, "scope", "class", "library", "why"};
//     a class or library quoted in part, as the text form quotes it (see
//     tQuotedString), is followed by "classBytes" or "libraryBytes", its
//     whole length.
// Write errors on `out` are left for the caller.
void writeSetupJson(const tSetupHealth& health, std::FILE* out);

}  // namespace nDRAVI100
