/* Times commands run in turn, one run of each a round, where hyperfine runs
 * every run of one command before the next command's first: a run that
 * takes a millisecond or two and ends in fsync measures the disk as much as
 * the program, and the disk's speed drifts over the seconds one command's
 * block of runs takes, so two blocks measured one after the other differ by
 * what the disk did meanwhile. Alternated, each command meets the same
 * drift, and the ratio of their medians says what the programs cost.
 *
 * Each run is preceded by its command's PREPARE, run through /bin/sh -c and
 * not timed (as hyperfine's --prepare); each round runs the commands in an
 * order of its own, shuffled, so that no command always follows the same
 * one: a run that follows sqlite3 meets the writing its journal left.
 * A run is timed from before fork to after wait, as hyperfine -N times it;
 * its output goes to /dev/null, and a run that fails stops the timing.
 *
 * It writes a CSV as hyperfine --export-csv does (times in seconds):
 * command,mean,stddev,median,user,system,min,max
 *
 * Usage: alternate WARMUP RUNS CSV NAME PREPARE ARGV... \; [NAME PREPARE ARGV... \;]...
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxCommands = 8 };

struct command {
  const char* name;
  const char* prepare;
  char** argv;
  double* wall;
  double user;
  double system;
};

static void fail(const char* what) {
  perror(what);
  exit(1);
}

static double seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

static void prepare(const struct command* c) {
  if (c->prepare[0] == '\0') return;
  const int status = system(c->prepare);
  if (status != 0) {
    fprintf(stderr, "alternate: prepare of %s failed: %s\n", c->name, c->prepare);
    exit(1);
  }
}

/* Runs the command once; returns its wall time and adds its CPU times. */
static double run(struct command* c) {
  struct timespec before;
  struct timespec after;
  clock_gettime(CLOCK_MONOTONIC, &before);
  const pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    execv(c->argv[0], c->argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) < 0) fail("wait4");
  clock_gettime(CLOCK_MONOTONIC, &after);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "alternate: %s failed (status %d)\n", c->name, status);
    exit(1);
  }
  c->user += seconds(usage.ru_utime);
  c->system += seconds(usage.ru_stime);
  return (double)(after.tv_sec - before.tv_sec) + (double)(after.tv_nsec - before.tv_nsec) / 1e9;
}

static int ascending(const void* a, const void* b) {
  const double x = *(const double*)a;
  const double y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: alternate WARMUP RUNS CSV NAME PREPARE ARGV... \\; ...\n");
    return 2;
  }
  const int warmup = atoi(argv[1]);
  const int runs = atoi(argv[2]);
  if (warmup < 0 || runs < 1) {
    fprintf(stderr, "alternate: bad WARMUP or RUNS\n");
    return 2;
  }
  struct command commands[kMaxCommands];
  int count = 0;
  for (int at = 4; at < argc;) {
    if (count == kMaxCommands || argc - at < 3) {
      fprintf(stderr, "alternate: at most %d commands, each NAME PREPARE ARGV... ;\n",
              kMaxCommands);
      return 2;
    }
    struct command* c = &commands[count++];
    c->name = argv[at];
    c->prepare = argv[at + 1];
    c->argv = &argv[at + 2];
    c->user = c->system = 0;
    c->wall = calloc((size_t)runs, sizeof(double));
    if (c->wall == NULL) fail("calloc");
    at += 2;
    while (at < argc && strcmp(argv[at], ";") != 0) ++at;
    if (at < argc) argv[at++] = NULL; /* ends this command's argv */
  }
  if (argv[argc - 1] != NULL) {
    fprintf(stderr, "alternate: each command's ARGV ends with ';'\n");
    return 2;
  }

  /* The same shuffles in every sitting. */
  srand(1);
  int order[kMaxCommands];
  for (int i = 0; i < count; ++i) order[i] = i;
  for (int round = 0; round < warmup + runs; ++round) {
    for (int i = count - 1; i > 0; --i) {
      const int j = rand() % (i + 1);
      const int swapped = order[i];
      order[i] = order[j];
      order[j] = swapped;
    }
    for (int step = 0; step < count; ++step) {
      struct command* c = &commands[order[step]];
      prepare(c);
      const double wall = run(c);
      if (round >= warmup) c->wall[round - warmup] = wall;
    }
  }

  FILE* csv = fopen(argv[3], "w");
  if (csv == NULL) fail(argv[3]);
  fprintf(csv, "command,mean,stddev,median,user,system,min,max\n");
  for (int i = 0; i < count; ++i) {
    struct command* c = &commands[i];
    double sum = 0;
    for (int r = 0; r < runs; ++r) sum += c->wall[r];
    const double mean = sum / runs;
    double squares = 0;
    for (int r = 0; r < runs; ++r) squares += (c->wall[r] - mean) * (c->wall[r] - mean);
    qsort(c->wall, (size_t)runs, sizeof(double), ascending);
    const double median =
        runs % 2 == 1 ? c->wall[runs / 2] : (c->wall[runs / 2 - 1] + c->wall[runs / 2]) / 2;
    /* Warm-up runs' CPU time is in the sums too: it is a mean over all. */
    const int all = warmup + runs;
    fprintf(csv, "%s,%.9f,%.9f,%.9f,%.9f,%.9f,%.9f,%.9f\n", c->name, mean,
            runs > 1 ? sqrt(squares / (runs - 1)) : 0.0, median, c->user / all, c->system / all,
            c->wall[0], c->wall[runs - 1]);
    printf("%-40s median %.3f ms (%.3f to %.3f), mean %.3f ms\n", c->name, median * 1e3,
           c->wall[0] * 1e3, c->wall[runs - 1] * 1e3, mean * 1e3);
  }
  if (fclose(csv) != 0) fail(argv[3]);
  return 0;
}
