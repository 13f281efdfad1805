/* lock-holder PATH...: plays a local user who tries to stall root's
 * installers by holding locks. Opens each PATH it can (for writing where it
 * may, else for reading), takes every lock it can get on it without waiting
 * and keeps them: a flock (exclusive, else shared), a process-owned fcntl
 * lock and an open-file-description lock (each a write lock where the file
 * is open for writing, else a read lock). One process cannot hold a shared
 * and an exclusive lock of one kind on one file at once, so it keeps the
 * strongest it gets. Prints the locks of each path, then "ready N" with the
 * number of locks held, and waits to be killed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

/* Takes a whole-file lock with `command` (F_SETLK or F_OFD_SETLK): a write
 * lock where the file is open for writing and nothing blocks it, else a read
 * lock. Returns names[1] for a write lock, names[0] for a read lock, or NULL
 * when none was granted. */
static const char *fcntl_lock(int fd, int command, int writable, const char *const names[2]) {
  for (int write = writable; write >= 0; --write) {
    struct flock lock = {.l_type = write ? F_WRLCK : F_RDLCK, .l_whence = SEEK_SET};
    if (fcntl(fd, command, &lock) == 0) return names[write];
  }
  return NULL;
}

int main(int argc, char **argv) {
  int held = 0;
  /* A script that died without killing us must not leave us behind. */
  alarm(60);
  for (int i = 1; i < argc; ++i) {
    /* Without blocking: a FIFO at a path must not hold us up. */
    int writable = 1;
    int fd = open(argv[i], O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      writable = 0;
      fd = open(argv[i], O_RDONLY | O_NONBLOCK | O_NOCTTY);
    }
    if (fd < 0) {
      printf("%s: cannot open (%s)\n", argv[i], strerror(errno));
      continue;
    }
    /* The descriptor stays open for good: closing it would drop its locks. */
    const char *locks[3] = {NULL, NULL, NULL};
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      locks[0] = " flock-exclusive";
    } else if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
      locks[0] = " flock-shared";
    }
    locks[1] =
        fcntl_lock(fd, F_SETLK, writable, (const char *const[]){" fcntl-read", " fcntl-write"});
    locks[2] =
        fcntl_lock(fd, F_OFD_SETLK, writable, (const char *const[]){" ofd-read", " ofd-write"});
    printf("%s:", argv[i]);
    for (int k = 0; k < 3; ++k) {
      if (locks[k] != NULL) {
        printf("%s", locks[k]);
        ++held;
      }
    }
    printf("\n");
  }
  printf("ready %d\n", held);
  fflush(stdout);
  for (;;) pause();
}
