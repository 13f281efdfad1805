/* The least any program must do to rewrite a file durably, as the yardstick
 * for zembril's whole runs: read the file in one call, write it to a
 * temporary file beside it from one buffer, sync that file, rename it over
 * the original and sync the directory. It parses nothing and changes no
 * byte, so its time is what the disk and the kernel cost.
 *
 * Usage: floor FILE
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void fail(const char* what) {
  perror(what);
  exit(1);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  char temporary[4096];
  if (snprintf(temporary, sizeof temporary, "%s.tmp", path) >= (int)sizeof temporary) {
    fprintf(stderr, "%s: path too long\n", path);
    return 2;
  }
  char directory[4096];
  snprintf(directory, sizeof directory, "%s", path);
  char* slash = strrchr(directory, '/');
  if (slash == NULL) {
    snprintf(directory, sizeof directory, ".");
  } else if (slash == directory) {
    directory[1] = '\0';
  } else {
    *slash = '\0';
  }

  int in = open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) fail(path);
  struct stat status;
  if (fstat(in, &status) != 0) fail(path);
  size_t size = (size_t)status.st_size;
  char* bytes = malloc(size > 0 ? size : 1);
  if (bytes == NULL) fail("malloc");
  size_t got = 0;
  while (got < size) {
    ssize_t count = read(in, bytes + got, size - got);
    if (count < 0) fail(path);
    if (count == 0) break;
    got += (size_t)count;
  }
  close(in);

  int out = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) fail(temporary);
  size_t put = 0;
  while (put < got) {
    ssize_t count = write(out, bytes + put, got - put);
    if (count < 0) fail(temporary);
    put += (size_t)count;
  }
  if (fsync(out) != 0) fail(temporary);
  if (close(out) != 0) fail(temporary);
  if (rename(temporary, path) != 0) fail(path);
  int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) fail(directory);
  if (fsync(dir) != 0) fail(directory);
  close(dir);
  free(bytes);
  return 0;
}
