// zembril-sync's parser of the record beside a map file, which it reads as
// root before it changes the map. What it accepts reads back the same: the
// record written out by formatRecord parses to the same record, which is
// sorted, without repeats, and written the same again. What it refuses
// yields no record, so that the run stops before the map is touched, and
// its reason names a line by number, never the file's bytes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzzCheck.h"
#include "sync/tSyncPlan.h"

using namespace nDRAVI100;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tResult<tRecord> parsed = parseRecord(text);
  if (!parsed) {
    const std::string reason = parsed.failure().message();
    FUZZ_CHECK(reason.starts_with("line ") &&
               (reason.ends_with(" does not fit") || reason.ends_with(" has no end")));
    return 0;
  }
  const tRecord& record = *parsed;
  FUZZ_CHECK(std::is_sorted(record.begin(), record.end()));
  FUZZ_CHECK(std::adjacent_find(record.begin(), record.end()) == record.end());
  for (const tRecordedBinding& entry : record) {
    FUZZ_CHECK(entry.scope == 0 || entry.scope == 1);
    for (const std::string& field : {entry.className, entry.library, entry.package}) {
      FUZZ_CHECK(!field.empty());
      FUZZ_CHECK(field.find_first_of(" \n") == std::string::npos);
    }
  }
  const std::string written = formatRecord(record);
  const tResult<tRecord> again = parseRecord(written);
  FUZZ_CHECK(static_cast<bool>(again));
  FUZZ_CHECK(*again == record);
  FUZZ_CHECK(formatRecord(*again) == written);
  return 0;
}
