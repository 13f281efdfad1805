#include "status/tStatus.h"

namespace nDRAVI100 {

void raiseError(tStatus& status, std::int32_t code) {
  if (!isError(status)) status = -code;
}

void raiseWarning(tStatus& status, std::int32_t code) {
  if (status == 0) status = code;
}

void clearStatus(tStatus& status) { status = 0; }

int exitStatusFor(tStatus status) {
  if (status == 0) return 0;
  return isError(status) ? -1 : 1;
}

}  // namespace nDRAVI100
