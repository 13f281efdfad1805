/* The least any program must do to rewrite a file durably, as the yardstick
 * for zembril's whole runs: read the file in one call, write it to a
 * temporary file beside it from one buffer, sync that file, rename it over
 * the original and sync the directory. It parses nothing and changes no
 * byte, so its time is what the disk and the kernel cost.
 *
 * The buffer is memory as zembril takes it for a large map: from 2 MiB on,
 * aligned to 2 MiB and advised as huge pages. With malloc's 4 KiB pages, a
 * file of 70 MiB costs the floor some 18,000 page faults that zembril does
 * not pay, and the floor would measure the kernel's page-fault path rather
 * than what rewriting a file must cost.
 *
 * With --commands, the floor of a command file's run: it first reads the
 * command file COMMANDS whole, as a run must read every line, and then
 * rewrites FILE, which holds the map that the command file yields, as above.
 * It neither parses the lines nor builds the map.
 *
 * Usage: floor FILE
 *        floor --commands COMMANDS FILE
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static void fail(const char* what) {
  perror(what);
  exit(1);
}

/* As zembril's allocateLarge (os/tLargeAllocator.h). */
static char* allocate_like_zembril(size_t size) {
  const size_t huge_page = (size_t)2 << 20;
  if (size < huge_page) return malloc(size > 0 ? size : 1);
  size_t rounded = (size + huge_page - 1) & ~(huge_page - 1);
  char* block = aligned_alloc(huge_page, rounded);
  /* Only advice, as in zembril: where it is refused, small pages serve. */
  if (block != NULL) (void)madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

/* Reads the file at `path` whole, in one call where the kernel allows,
 * into memory taken as zembril takes it; sets `*got` to how many bytes it
 * holds. */
static char* read_all(const char* path, size_t* got) {
  int in = open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) fail(path);
  struct stat status;
  if (fstat(in, &status) != 0) fail(path);
  size_t size = (size_t)status.st_size;
  char* bytes = allocate_like_zembril(size);
  if (bytes == NULL) fail("aligned_alloc");
  *got = 0;
  while (*got < size) {
    ssize_t count = read(in, bytes + *got, size - *got);
    if (count < 0) fail(path);
    if (count == 0) break;
    *got += (size_t)count;
  }
  close(in);
  return bytes;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--commands") == 0) {
    /* A command file is read whole and dropped unread: the floor does none of the parsing. */
    size_t ignored = 0;
    free(read_all(argv[2], &ignored));
    argv += 2;
    argc -= 2;
  }
  if (argc != 2) {
    fprintf(stderr, "usage: %s [--commands COMMANDS] FILE\n", argv[0]);
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

  size_t got = 0;
  char* bytes = read_all(path, &got);

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
