#include "os/tStandardDescriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace nDRAVI100 {

bool keepStandardDescriptorsOpen() {
  // One poll says which of the three are closed, where asking each cost a
  // run three system calls; should it fail, each is asked.
  std::array<pollfd, 3> standard{{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}};
  const bool polled = ::poll(standard.data(), standard.size(), 0) >= 0;
  for (int fd = 0; fd <= 2; ++fd) {
    const bool closed = polled ? (standard[static_cast<std::size_t>(fd)].revents & POLLNVAL) != 0
                               : ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
    if (!closed) continue;
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
