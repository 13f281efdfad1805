#include "cli/tFailure.h"

#include <cstring>

namespace nDRAVI100 {

tFailure tFailure::ofErrno(int error) { return tFailure(std::strerror(error)); }

}  // namespace nDRAVI100
