#include "tool/tStatus.h"

namespace nDRAVI100 {

void raiseError(tStatus& status, std::int32_t code) {
  if (!isError(status)) status = -code;
}

void raiseWarning(tStatus& status, std::int32_t code) {
  if (status == 0) status = code;
}

int exitStatusFor(tStatus status) {
  if (status == 0) return 0;
  // The sign bit spread over the word gives 0 or -1; or-ing 1 in gives 1 for
  // a warning and leaves -1 for an error.
  return (status >> 31) | 1;
}

}  // namespace nDRAVI100
