#include "os/tStandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace nDRAVI100 {

bool keepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open returns the lowest free descriptor, which is this one: the lower
    // ones are open already.
    int opened = -1;
    do {
      opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    } while (opened < 0 && errno == EINTR);
    if (opened != fd) {
      if (opened >= 0) (void)::close(opened);
      return false;
    }
  }
  return true;
}

}  // namespace nDRAVI100
