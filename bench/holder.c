/* holder DESCRIPTORS LOCKS DIR: plays another user's busy processes for the
 * --check case. Opens one file in DIR and keeps DESCRIPTORS duplicates of it
 * (as many as its hard limit allows), and takes LOCKS one-byte POSIX locks,
 * spread over files of 500 locks each in DIR (the kernel walks a file's
 * locks on each new one, so one file would take minutes). Prints "ready"
 * once it holds them all and waits to be killed. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

enum { kLocksPerFile = 500 };

static int open_file(const char *dir, int n) {
  char path[4096];
  snprintf(path, sizeof path, "%s/held-%d-%d", dir, (int)getpid(), n);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    perror(path);
    exit(1);
  }
  return fd;
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: holder DESCRIPTORS LOCKS DIR\n");
    return 2;
  }
  const long descriptors = atol(argv[1]), locks = atol(argv[2]);
  struct rlimit room;
  if (getrlimit(RLIMIT_NOFILE, &room) == 0) {
    room.rlim_cur = room.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &room);
  }
  const int first = open_file(argv[3], 0);
  for (long n = 0; n < descriptors && dup(first) >= 0; ++n) {
  }
  int fd = first;
  for (long n = 0; n < locks; ++n) {
    if (n > 0 && n % kLocksPerFile == 0) fd = open_file(argv[3], (int)(n / kLocksPerFile));
    struct flock lock = {
        .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 2 * (n % kLocksPerFile), .l_len = 1};
    if (fcntl(fd, F_SETLK, &lock) != 0) {
      perror("fcntl");
      return 1;
    }
  }
  printf("ready\n");
  fflush(stdout);
  pause();
  return 0;
}
