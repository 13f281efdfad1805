#!/usr/bin/env bash
# Times whole runs of zembril side by side with what a user would pick
# instead (a SQLite database through the sqlite3 shell), with the floor
# (bench/floor.c: the least any program must do to rewrite a file durably,
# reading it into memory as zembril takes it for a large map)
# and, for queries, which change nothing, with reading the map file once
# (cat), and writes the results to BENCHMARKS.md.
#
#   bench/run.sh            the full benchmark; takes a few minutes
#   bench/run.sh --quick    small sizes and few runs, to prove that it works;
#                           writes build-bench-release/BENCHMARKS.md instead
#   --out FILE              write the report to FILE
#
# It builds Release in build-bench-release/ (BENCH_BUILD_DIR), generates its
# data there and times each group of commands alternated, one run of each in
# turn (bench/alternate.c), so that a ratio holds when the machine's speed
# drifts; the --check cases, which compare one command in two states of the
# machine, run in hyperfine. The tool runs with its
# real fixed paths, but in a private mount namespace in which scratch
# directories are mounted over /etc/tolvane and /usr/local/tolvane: the
# machine's own class map is never read or written, and where those
# directories do not exist they are only made in an overlay that vanishes
# with the namespace. Needs root, hyperfine, sqlite3, GNU time, strace, cmake and
# cc; with ansible installed it also times the Ansible collection (bench/ansible.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

quick=0
out=
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --out) out=$2; shift ;;
    *) echo "usage: $0 [--quick] [--out FILE]" >&2; exit 2 ;;
  esac
  shift
done
build=${BENCH_BUILD_DIR:-$top/build-bench-release}
case $build in /*) ;; *) build=$top/$build ;; esac
if [ -z "$out" ]; then
  if [ $quick = 1 ]; then out=$build/BENCHMARKS.md; else out=$top/BENCHMARKS.md; fi
fi
case $out in /*) ;; *) out=$top/$out ;; esac

if [ -z "${ZEMBRIL_BENCH_NAMESPACE:-}" ]; then
  for program in hyperfine sqlite3 /usr/bin/time cmake cc unshare setpriv strace; do
    command -v "$program" >/dev/null || { echo "$0: $program is missing" >&2; exit 1; }
  done
  [ "$(id -u)" = 0 ] || { echo "$0: needs root for its mount namespace" >&2; exit 1; }
  echo "== building Release in $build"
  # -Werror here too: some of g++'s warnings come only with the optimizer.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZEMBRIL_WERROR=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target zembril zembril-dump zembril-shared-libstdcxx >/dev/null
  cc -O2 -Wall -Wextra -o "$build/floor" bench/floor.c
  cc -O2 -Wall -Wextra -o "$build/holder" bench/holder.c
  cc -O2 -Wall -Wextra -o "$build/alternate" bench/alternate.c -lm
  # Everything below runs in a mount namespace of its own.
  again=(--out "$out")
  if [ $quick = 1 ]; then again+=(--quick); fi
  exec unshare -m env ZEMBRIL_BENCH_NAMESPACE=1 BENCH_BUILD_DIR="$build" bash "$0" "${again[@]}"
fi

# ---- inside the private mount namespace -------------------------------------

mount --make-rprivate /
work=$build/work
rm -rf "$work"
mkdir -p "$work"/{etc-tolvane,local-tolvane,disk,tmpfs,data,overlay}

# Gives the fixed directory $1 a scratch directory $2 in this namespace only.
# A directory that does not exist is made in an overlay of its parent, whose
# changes land in the scratch area, so nothing new appears on the machine.
hide_fixed_directory() {
  local fixed=$1 scratch=$2
  if [ ! -d "$fixed" ]; then
    local parent layer
    parent=$(dirname "$fixed")
    layer=$work/overlay/$(basename "$parent")
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay overlay \
      -o "lowerdir=$parent,upperdir=$layer/upper,workdir=$layer/work" "$parent"
    mkdir "$fixed"
  fi
  mount --bind "$scratch" "$fixed"
}
hide_fixed_directory /etc/tolvane "$work/etc-tolvane"
hide_fixed_directory /usr/local/tolvane "$work/local-tolvane"
mount -t tmpfs -o size=4g tmpfs "$work/tmpfs"
mkdir -p /etc/tolvane/.mirtal

zembril=$build/zembril
# The same tool as the distribution packages link it, with the shared libstdc++.
zembril_packaged=$build/zembril-shared-libstdcxx
floor=$build/floor
data=$work/data
if [ $quick = 1 ]; then
  n_single=1000 n_bulk=5000 n_large=20000 n_small=2000 n_delete=10000
  runs_single=3 runs=3 warmup=1 warmup_single=1 runs_step=3 warmup_step=1
  n_holders=4 n_descriptors=2000 n_locks=20000
  n_line=10000000 n_record=67108864 n_empty=1250000
else
  n_single=1000 n_bulk=100000 n_large=1000000 n_small=10000 n_delete=200000
  runs_single=30 runs=10 warmup=3 warmup_single=10 runs_step=300 warmup_step=20
  n_holders=40 n_descriptors=20000 n_locks=250000
  n_line=100000000 n_record=2147483000 n_empty=12500000
fi

# Points the tool at the map directory $1 (made here); a directory file
# naming D gives the map directory D/etc.
use_map_directory() {
  mkdir -p "$1/etc"
  echo "$1" >/etc/tolvane/.mirtal/mirtal.dir
}

# The map file that holds $2 generated bindings, in directory $1;
# $3 shared=1 for the file of the deletelib case.
make_map() {
  awk -v n="$2" -v form=commands -v shared="${3:-0}" -f bench/bindings.awk >"$data/make.txt"
  use_map_directory "$1"
  "$zembril" /file "$data/make.txt"
  rm "$data/make.txt"
}

# Runs hyperfine; $1 names the case, the rest are hyperfine's arguments.
time_case() {
  local name=$1
  shift
  # Writeback of earlier cases' files would slow this case's syncs.
  sync
  echo
  echo "== $name"
  hyperfine -N --style basic --export-csv "$work/$name.csv" "$@"
}

# Times the commands of a case alternated, one run of each a round in an
# order of its own (bench/alternate.c): $1 names the case, $2 and $3 are
# the warm-up and timed rounds, then each command as NAME PREPARE ARGV... ;
# where hyperfine ran every run of one command before the next command's
# first, the cat and the floors that the cases compare with were a third
# faster in one sitting than in the next, while zembril's runs were not.
alternate_case() {
  local name=$1
  shift
  sync
  echo
  echo "== $name (alternated)"
  "$build/alternate" "$1" "$2" "$work/$name.csv" "${@:3}"
}

# Peak resident memory in KiB of one run of the command.
peak_kib() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null && cat "$work/rss"; }
# The same for a run whose exit status says something other than success (a
# lookup of an unbound class, a check that finds something to report).
peak_kib_any() {
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
  tail -1 "$work/rss"
}

# ---- the bulk floor -----------------------------------------------------------

# The floor of a command file's run reads the command file and rewrites the map
# it yields: that map, made once by the tool from the same lines, is
# $data/bulk.map, copied into the map directory $1 before each run of the floor.
make_bulk_floor_map() {
  make_map "$1" "$n_bulk"
  mv "$1/etc/dravimap" "$data/bulk.map"
}

# ---- the system calls of one install step -------------------------------------

# Counts by name the system calls of one run of "$@" (strace -f) into $work/$1.
count_syscalls() {
  local name=$1
  shift
  strace -f -qq -o "$work/$name.strace" "$@" >/dev/null
  sed -E 's/^[0-9]+ +//; /^\+\+\+|^---/d; s/\(.*//' "$work/$name.strace" | sort | uniq -c |
    awk '{ print $2, $1 }' >"$work/$name.syscalls"
}

# Why the install step makes a call the floor does not make, or makes it more
# often: what it is for, by name.
syscall_reason() {
  case $1 in
    poll) echo "descriptors 0 to 2 are checked open, so that no file is written through one" ;;
    fcntl) echo "the temporary file's descriptor is duplicated, so that its close reports a failed write while the copy fallback can still read it" ;;
    newfstatat) echo "the way to the directory file and to the map directory is judged, each of its beginnings stat'd by name, from /, so that a component another user could steer is seen (where one is, or a link, the way is walked again one opened component at a time); the directory file, the lock file and the map file are each stat'd by name before they are opened and again once opened, so that nothing but a regular file is ever read or written; the map directory is stat'd once opened; the map file is looked at again after the read, to see that it did not change while read, and its size is asked once more by the reader that sizes the image; the lock file is compared with its name after the lock is taken; the recovery check looks for a temporary file left behind; the replacement takes the map file's owner and mode from it and compares its own" ;;
    openat) echo "the directory file and the lock file are opened besides the floor's files, and the map directory path-only, once, as the descriptor every file in it is reached through; a file is opened by name once found regular (through /proc/self/fd where another user could steer the way)" ;;
    close) echo "the directory file, the lock file and the map directory are closed, and the temporary file's duplicated descriptor" ;;
    flock) echo "the lock: a run that changes the map holds it from before the read to after the rename" ;;
    geteuid) echo "the lock file is trusted only when the run's own user owns it" ;;
    unlinkat) echo "a temporary file that an unfinished run left behind is removed when the new one cannot be created for it" ;;
    fchmod | fchown) echo "the replacement takes the mode (and owner) of the map file it replaces, where the umask left it another" ;;
    read) echo "one more read at the end of the map file, to see that it holds no more than it said; the directory file is read, up to the end of its first line" ;;
    write | writev) echo "the map file is written with one call, from up to three pieces: the records re-encoded, the run of records that stands unchanged in the file read, from where it stands, and the second map's count" ;;
    renameat | rename) echo "the same rename, relative to the map directory's descriptor" ;;
    openat2) echo "a path under /root is resolved inside that root" ;;
    brk | mmap | munmap | mprotect) echo "memory: the allocator's, and the program's start" ;;
    *) echo "-" ;;
  esac
}

echo "== generating data"
single=$work/disk/single
make_map "$single" "$n_single"
cp "$single/etc/dravimap" "$data/single.map"
new_class=com.example.installer.NewWidget
new_library=/usr/lib64/example/libnewwidget.so.1
sqlite3 "$data/single.db" 'CREATE TABLE map(class TEXT PRIMARY KEY, library TEXT NOT NULL);'
awk -v n="$n_single" -v form=sql -f bench/bindings.awk | sqlite3 "$data/single.db"
cp "$data/single.db" "$work/disk/single.db"
sqlite3 "$data/empty.db" 'CREATE TABLE map(class TEXT PRIMARY KEY, library TEXT NOT NULL);'
awk -v n="$n_bulk" -v form=commands -f bench/bindings.awk >"$data/bulk.txt"
awk -v n="$n_bulk" -v form=sql -f bench/bindings.awk >"$data/bulk.sql"
bulk=$work/disk/bulk
make_bulk_floor_map "$bulk"
large=$work/disk/large
make_map "$large" "$n_large"
# The small map of the growth case is the 64-bit map file beside it.
awk -v n="$n_small" -v form=commands -f bench/bindings.awk >"$data/small.txt"
"$zembril" /x64 /file "$data/small.txt"
cp "$large/etc/dravimap" "$data/large.map"
cp "$large/etc/dravimap64" "$data/small.map"
# A bound class from the middle of the large map, which is sorted by bytes.
lookup_class=$(awk -v n="$n_large" -v form=commands -f bench/bindings.awk |
  awk -F', ' '{ print $3 }' | LC_ALL=C sort | sed -n "$((n_large / 2))p")
delete=$work/disk/delete
make_map "$delete" "$n_delete" 1
cp "$delete/etc/dravimap" "$data/delete.map"
tmpfs_large=$work/tmpfs/large

# ---- the cases ----------------------------------------------------------------

# The timer is checked before it times anything: each command's row comes
# in the order the commands were given, however the rounds shuffled them,
# the slower command has the larger median, and a run that fails stops it.
"$build/alternate" 1 5 "$work/timer.csv" fast "" "$(type -P true)" \; \
  slow "" "$(type -P sleep)" 0.01 \; >/dev/null
if ! awk -F, 'NR == 2 && $1 == "fast" { fast = $4 } NR == 3 && $1 == "slow" { slow = $4 }
    END { exit !(fast > 0 && slow > fast + 0.009) }' "$work/timer.csv" ||
  "$build/alternate" 0 1 "$work/timer.csv" fails "" "$(type -P false)" \; 2>/dev/null; then
  echo "$0: bench/alternate.c does not time as it should" >&2
  exit 1
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
use_map_directory "$single"
# The install step takes two milliseconds, most of them fsync: it is timed
# often enough that the medians hold still. The first runs after other disk
# work are slow; the warm-up runs settle them.
alternate_case single "$warmup_step" "$runs_step" \
  "zembril /U /add" "cp $data/single.map $single/etc/dravimap" \
  "$zembril" /U /add "$new_class" "$new_library" \; \
  "sqlite3 INSERT OR IGNORE" "cp $data/single.db $work/disk/single.db" \
  "$(type -P sqlite3)" "$work/disk/single.db" \
  "INSERT OR IGNORE INTO map VALUES('$new_class','$new_library');" \; \
  "floor" "cp $data/single.map $single/etc/dravimap" "$floor" "$single/etc/dravimap" \; \
  "zembril /U /add as packaged" "cp $data/single.map $single/etc/dravimap" \
  "$zembril_packaged" /U /add "$new_class" "$new_library" \;
cp "$data/single.map" "$single/etc/dravimap"
rss_single=$(peak_kib "$zembril" /U /add "$new_class" "$new_library")
cp "$data/single.map" "$single/etc/dravimap"
count_syscalls single_zembril "$zembril" /U /add "$new_class" "$new_library"
cp "$data/single.map" "$single/etc/dravimap"
count_syscalls single_floor "$floor" "$single/etc/dravimap"

bulk=$work/disk/bulk
use_map_directory "$bulk"
alternate_case bulk "$warmup" "$runs" \
  "zembril /file" "rm -f $bulk/etc/dravimap" "$zembril" /file "$data/bulk.txt" \; \
  "sqlite3 .read" "cp $data/empty.db $work/disk/bulk.db" \
  "$(type -P sqlite3)" "$work/disk/bulk.db" ".read $data/bulk.sql" \; \
  "floor --commands" "cp $data/bulk.map $bulk/etc/dravimap" \
  "$floor" --commands "$data/bulk.txt" "$bulk/etc/dravimap" \;
rm -f "$bulk/etc/dravimap"
rss_bulk=$(peak_kib "$zembril" /file "$data/bulk.txt")

use_map_directory "$large"
# What a save would change: a new inode (the file is replaced) or its mtime.
identity() { stat -c '%i %.9Y' "$1"; }
large_identity=$(identity "$large/etc/dravimap")
# Queries take a few milliseconds each: as many runs as the single step,
# so that the median of either command does not rest on a few.
alternate_case query "$warmup_single" "$runs_single" \
  "zembril /U /lookup" "" "$zembril" /U /lookup "$lookup_class" \; \
  "zembril /U /list" "" "$zembril" /U /list \; \
  "cat" "" "$(type -P cat)" "$large/etc/dravimap" \;
rss_list=$(peak_kib "$zembril" /U /list)
# Rewriting even the same bytes costs a query the fsyncs that cat is spared,
# and its timing would then compare unlike work.
if [ "$(identity "$large/etc/dravimap")" != "$large_identity" ] ||
  ! cmp -s "$data/large.map" "$large/etc/dravimap"; then
  echo "$0: a query run changed the map file $large/etc/dravimap" >&2
  exit 1
fi

alternate_case large "$warmup" "$runs" \
  "zembril /U /add" "cp $data/large.map $large/etc/dravimap" \
  "$zembril" /U /add "$new_class" "$new_library" \; \
  "floor" "cp $data/large.map $large/etc/dravimap" "$floor" "$large/etc/dravimap" \; \
  "zembril /x64 /U /add (small map)" "cp $data/small.map $large/etc/dravimap64" \
  "$zembril" /x64 /U /add "$new_class" "$new_library" \;
cp "$data/large.map" "$large/etc/dravimap"
rss_large=$(peak_kib "$zembril" /U /add "$new_class" "$new_library")
rss_floor=$(peak_kib "$floor" "$large/etc/dravimap")

use_map_directory "$tmpfs_large"
alternate_case tmpfs "$warmup" "$runs" \
  "zembril /U /add" "cp $data/large.map $tmpfs_large/etc/dravimap" \
  "$zembril" /U /add "$new_class" "$new_library" \; \
  "floor" "cp $data/large.map $tmpfs_large/etc/dravimap" "$floor" "$tmpfs_large/etc/dravimap" \;

use_map_directory "$delete"
alternate_case deletelib "$warmup" "$runs" \
  "zembril /U /deletelib" "cp $data/delete.map $delete/etc/dravimap" \
  "$zembril" /U /deletelib /usr/lib64/shared/libshared.so.1 \; \
  "zembril /U /add" "cp $data/delete.map $delete/etc/dravimap" \
  "$zembril" /U /add "$new_class" "$new_library" \;

# --check beside another user's processes that hold many descriptors and
# POSIX locks, as root and as that user, against the same checks on a quiet
# machine: the owner of the files is nobody, so that only its processes
# slow anything.
# The checkout may lie where nobody cannot enter (under a directory of mode
# 0700, as mktemp -d makes): his programs, the map he checks and the files
# he holds lie in a directory of their own under /tmp, open to him.
shared=$(mktemp -d /tmp/zembril-bench.XXXXXX)
trap 'rm -rf "$shared"' EXIT
chmod 755 "$shared"
cp "$build/dump/zembril-dump" "$build/holder" "$shared/"
dump=$shared/zembril-dump
use_map_directory "$shared/map"
cp "$data/single.map" "$shared/map/etc/dravimap"
check_as_nobody="setpriv --reuid=65534 --regid=65534 --clear-groups $dump --check"
# Timing a check that stops at a path nobody cannot walk would time nothing.
# (It says the map directory needs attention, for nobody may not write there.)
nobody_view=$($check_as_nobody || true)
if ! grep -q '^dravimap  *valid' <<<"$nobody_view"; then
  echo "$0: nobody's zembril-dump --check does not see the map of the --check case" >&2
  exit 1
fi
time_case check_idle -i --warmup "$warmup" --runs "$runs" \
  -n "zembril-dump --check" "$dump --check" -n "nobody: zembril-dump --check" "$check_as_nobody"
held=$shared/held
mkdir -p "$held"
chown 65534:65534 "$held"
holders=()
for n in $(seq 0 "$n_holders"); do
  if [ "$n" = "$n_holders" ]; then held_now=(0 "$n_locks"); else held_now=("$n_descriptors" 0); fi
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$shared/holder" "${held_now[@]}" "$held" >"$held/ready.$n" &
  holders+=($!)
done
until [ "$(cat "$held"/ready.* | grep -c ready)" = "${#holders[@]}" ]; do
  for pid in "${holders[@]}"; do
    kill -0 "$pid" 2>/dev/null || { echo "$0: a holder of descriptors and locks failed" >&2; exit 1; }
  done
  sleep 0.2
done
time_case check_loaded -i --warmup 1 --runs "$runs" \
  -n "zembril-dump --check" "$dump --check" -n "nobody: zembril-dump --check" "$check_as_nobody"
kill "${holders[@]}"
wait "${holders[@]}" 2>/dev/null || true

# ---- memory at hostile sizes -------------------------------------------------

# What a run must hold at once sets its memory, not the size of what it reads:
# a command file of one huge line, a map of one huge binding shown, checked
# and salvaged, and a map of many empty records. Each run is measured once;
# the files lie on tmpfs, so that making them costs no disk time.
hostile=$work/tmpfs/hostile
use_map_directory "$hostile"
# The four bytes of $1 as a little-endian 32-bit field.
le32() { printf '%b' "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
  $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
map_head() { printf ' fmd'; le32 1; }
# $1 bytes of the letter a.
letters() { head -c "$1" /dev/zero | tr '\0' a; }

{ printf 'U, add, Big, '; letters "$n_line"; echo; } >"$work/tmpfs/line.txt"
rss_line=$(peak_kib "$zembril" /file "$work/tmpfs/line.txt")
rm "$work/tmpfs/line.txt"
# That line's map holds one binding of n_line bytes; zembril-dump shows it.
rss_dump_text=$(peak_kib "$dump" "$hostile/etc/dravimap")
rss_dump_json=$(peak_kib "$dump" --format=json "$hostile/etc/dravimap")
rss_dump_commands=$(peak_kib "$dump" --format=commands "$hostile/etc/dravimap")

# One binding whose library takes n_record bytes.
{ map_head; le32 1; le32 2; printf 'A\0'; le32 $((n_record + 1)); letters "$n_record"
  printf '\0'; le32 0; } >"$hostile/etc/dravimap"
rss_record_show=$(peak_kib "$dump" "$hostile/etc/dravimap")
rss_record_check=$(peak_kib_any "$dump" --check)
rss_record_salvage=$(peak_kib "$dump" --salvage "$hostile/etc/dravimap")

# Records of no bytes at all: a length of 0 for each string.
{ map_head; le32 "$n_empty"; head -c $((n_empty * 8)) /dev/zero; le32 0; } \
  >"$hostile/etc/dravimap"
empty_bytes=$(stat -c %s "$hostile/etc/dravimap")
rss_empty_dump=$(peak_kib "$dump" "$hostile/etc/dravimap")
rss_empty_lookup=$(peak_kib_any "$zembril" /U /lookup Nothing)
rm -rf "$hostile"

# ---- the Ansible collection on the large map ---------------------------------

# A task of the collection beside a builtin command task, each one ad-hoc
# `ansible localhost` run; the collection reads through zembril-dump's
# filters only what a task manages, so the size of the map should not show.
ansible_report=$work/ansible.txt
if command -v ansible >/dev/null; then
  if [ $quick = 1 ]; then ansible_runs=1; else ansible_runs=5; fi
  echo
  echo "== ansible"
  bash bench/ansible.sh "$build" "$n_large" "$ansible_runs" | tee "$ansible_report"
fi

# ---- the report ---------------------------------------------------------------

# Field $3 (3 median, 6 min, 7 max; seconds) of row $2 (1 = first command) of
# case $1's CSV.
stat_of() { awk -F, -v row="$2" -v field="$3" 'NR == row + 1 { print $(field + 1) }' \
  "$work/$1.csv"; }
median() { stat_of "$1" "$2" 3; }
# "4.0 ms (3.8 to 4.6)" for row $2 of case $1.
shown() {
  awk -v m="$(stat_of "$1" "$2" 3)" -v lo="$(stat_of "$1" "$2" 6)" -v hi="$(stat_of "$1" "$2" 7)" '
    function f(s) { return s >= 1 ? sprintf("%.2f s", s) : s >= 0.1 ? sprintf("%.0f ms", s * 1000) \
                              : sprintf("%.1f ms", s * 1000) }
    BEGIN { printf "%s (%s to %s)", f(m), f(lo), f(hi) }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# "yes" when $1 $2 $3 holds, for example "1.7 >= 1.5".
meets() { awk -v a="$1" -v b="$3" -v op="$2" \
  'BEGIN { ok = op == ">=" ? a >= b : a <= b; print ok ? "yes" : "**no**" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
count() { awk -v n="$1" 'BEGIN { s = sprintf("%d", n); r = ""
  while (length(s) > 3) { r = "," substr(s, length(s) - 2) r; s = substr(s, 1, length(s) - 3) }
  print s r }'; }

large_bytes=$(stat -c %s "$data/large.map")
r_single_sqlite=$(ratio "$(median single 2)" "$(median single 1)")
r_single_floor=$(ratio "$(median single 1)" "$(median single 3)")
r_packaged_floor=$(ratio "$(median single 4)" "$(median single 3)")
r_bulk=$(ratio "$(median bulk 2)" "$(median bulk 1)")
r_bulk_floor=$(ratio "$(median bulk 1)" "$(median bulk 3)")
r_lookup=$(ratio "$(median query 1)" "$(median query 3)")
r_list=$(ratio "$(median query 2)" "$(median query 3)")
r_large=$(ratio "$(median large 1)" "$(median large 2)")
r_tmpfs=$(ratio "$(median tmpfs 1)" "$(median tmpfs 2)")
r_rss=$(ratio "$rss_large" "$(awk -v b="$large_bytes" 'BEGIN { print b / 1024 }')")
r_growth=$(awk -v big="$(median large 1)" -v small="$(median large 3)" \
  -v nb="$n_large" -v ns="$n_small" 'BEGIN { printf "%.2f", (big / nb) / (small / ns) }')
r_delete=$(ratio "$(median deletelib 1)" "$(median deletelib 2)")
added() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
d_check_root=$(added "$(median check_loaded 1)" "$(median check_idle 1)")
d_check_nobody=$(added "$(median check_loaded 2)" "$(median check_idle 2)")

filesystem() { findmnt -n -o FSTYPE -T "$1"; }

# The section on the system calls of one install step beside the floor's.
syscall_section() {
  local total_zembril total_floor
  total_zembril=$(awk '{ n += $2 } END { print n }' "$work/single_zembril.syscalls")
  total_floor=$(awk '{ n += $2 } END { print n }' "$work/single_floor.syscalls")
  echo "## System calls of one install step"
  echo
  echo "\`strace -f\` of one \`zembril /U /add\` into $(count "$n_single") bindings and of the floor on"
  echo "the same map file: $total_zembril calls against $total_floor. Each call zembril makes more"
  echo "often than the floor, and why:"
  echo
  echo "| call | zembril | floor | why |"
  echo "|---|---|---|---|"
  join -a 1 -a 2 -e 0 -o 0,1.2,2.2 <(sort "$work/single_zembril.syscalls") \
    <(sort "$work/single_floor.syscalls") | while read -r call mine floors; do
    if [ "$mine" -gt "$floors" ]; then
      echo "| \`$call\` | $mine | $floors | $(syscall_reason "$call") |"
    fi
  done
  echo
}
# The section on the Ansible collection's tasks beside a builtin task.
ansible_section() {
  echo "## The Ansible collection on $(count "$n_large") bindings"
  echo
  if [ ! -s "$ansible_report" ]; then
    echo "Not measured: \`ansible\` is not installed."
    echo
    return
  fi
  local command_s
  command_s=$(awk '$1 == "command" { print $2 }' "$ansible_report")
  echo "\`bench/ansible.sh\`: each task one ad-hoc \`ansible localhost\` run on a map of"
  echo "$(count "$n_large") bindings under a root of its own, the quickest of $ansible_runs runs, against"
  echo "a builtin \`command\` task: $command_s s. Starting Ansible is most of every figure."
  echo
  echo "| task | time | ratio to the command task | goal | met |"
  echo "|---|---|---|---|---|"
  local key goal seconds what r
  while read -r key goal; do
    seconds=$(awk -v k="$key" '$1 == k { print $2 }' "$ansible_report")
    what=$(awk -v k="$key" '$1 == k { $1 = $2 = ""; sub(/^  /, ""); print }' "$ansible_report")
    r=$(ratio "$seconds" "$command_s")
    echo "| $what | $seconds s | $r x | at most ${goal}x | $(meets "$r" "<=" "$goal") |"
  done <<<$'noop 1.5\nchange 2.0\nsmall 2.0'
  echo
}
mkdir -p "$(dirname "$out")"
{
  echo "# Benchmarks"
  echo
  echo "Whole runs of \`zembril\` against a SQLite database driven through the \`sqlite3\`"
  echo "shell and against the floor (\`bench/floor.c\`: read the map file in one call,"
  echo "write it to a temporary file beside it, fsync, rename, fsync the directory)."
  echo "The floor reads into memory as zembril takes it for a large map: from 2 MiB on,"
  echo "aligned to 2 MiB and advised as huge pages. With malloc's small pages the floor"
  echo "paid a page fault for every 4 KiB of a large file that zembril does not pay,"
  echo "and measured the kernel's page faults more than the rewriting of a file."
  echo "Queries change no map and write nothing, so they are compared with reading the map"
  echo "file once (\`cat\`); the script fails if a query run leaves the map file with another"
  echo "inode, mtime or content."
  if [ $quick = 1 ]; then
    echo "Written by \`bench/run.sh --quick\`: small sizes and few runs, no figures to quote."
  else
    echo "Written by \`bench/run.sh\`."
  fi
  echo "Each group of commands ran alternated, one run of each a round in an order of"
  echo "its own (\`bench/alternate.c\`): a block of one command's runs, as hyperfine runs"
  echo "them, met another moment of the machine than the next block. $warmup_step rounds of"
  echo "warm-up and $runs_step timed for the install step, $warmup_single and $runs_single for the queries,"
  echo "$warmup and $runs for the others; the \`--check\` cases ran in \`hyperfine\`, each in"
  echo "one invocation."
  echo "Times are medians (min to max); a ratio compares medians."
  echo
  echo "## How to run"
  echo
  echo '```sh'
  echo "bash bench/run.sh           # as root, a few minutes: rewrites this file"
  echo "bash bench/run.sh --quick   # small sizes and few runs, to prove that it works:"
  echo "                            # writes build-bench-release/BENCHMARKS.md"
  echo '```'
  echo
  echo "It builds Release in \`build-bench-release/\`, and runs the tool with its real"
  echo "fixed paths in a private mount namespace over scratch directories, so that the"
  echo "machine's own class map is never read or written. It needs root, \`hyperfine\`,"
  echo "\`sqlite3\`, GNU \`time\`, \`strace\`, \`cmake\` and \`cc\`, and \`ansible\` for the"
  echo "collection's section. Runs minutes apart differ on a shared machine by up to"
  echo "a third: compare two builds in the same sitting."
  echo
  echo "## Machine"
  echo
  echo "- CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores," \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- Kernel $(uname -r); $(sed -n 's/^PRETTY_NAME="\(.*\)"$/\1/p' /etc/os-release)"
  echo "- Map directories on $(filesystem "$work/disk") (disk-backed), the tmpfs case on" \
    "$(filesystem "$work/tmpfs")"
  echo "- $(c++ --version | head -1), Release build; $(hyperfine --version);" \
    "sqlite3 $(sqlite3 --version | cut -d' ' -f1)"
  echo "- Load average when the cases began: $load_before (other work on the machine" \
    "widens the min-to-max ranges)"
  echo
  echo "## Results"
  echo
  echo "| case | zembril | compared with | ratio | goal | met |"
  echo "|---|---|---|---|---|---|"
  echo "| one install step: \`/U /add\` of a new class into a map of $(count "$n_single") bindings" \
    "| $(shown single 1) | \`sqlite3 db \"INSERT OR IGNORE ...\"\` into a table of the same rows" \
    "(primary key on the class): $(shown single 2) | $r_single_sqlite x faster | at least 1.5x" \
    "| $(meets "$r_single_sqlite" ">=" 1.5) |"
  echo "| the same | $(shown single 1) | the floor on the same map file: $(shown single 3)" \
    "| $r_single_floor x the floor | at most 1.1x | $(meets "$r_single_floor" "<=" 1.1) |"
  echo "| the same, zembril linked as the Debian, rpm and pacman packages link it (the system's" \
    "libstdc++) | $(shown single 4) | the same floor | $r_packaged_floor x the floor | none | - |"
  echo "| bulk: a command file of $(count "$n_bulk") \`add\` lines into an empty map" \
    "| $(shown bulk 1) | \`sqlite3 db \".read same.sql\"\`, the same inserts in one" \
    "transaction: $(shown bulk 2) | $r_bulk x faster | at least 7x | $(meets "$r_bulk" ">=" 7) |"
  echo "| the same | $(shown bulk 1) | the floor: read the command file, then rewrite the map it" \
    "yields (\`floor --commands\`): $(shown bulk 3) | $r_bulk_floor x the floor | at most 1.6x" \
    "| $(meets "$r_bulk_floor" "<=" 1.6) |"
  echo "| a query: \`/U /lookup CLASS\` of a bound class in a map of $(count "$n_large") bindings" \
    "| $(shown query 1) | \`cat dravimap\`, reading the map file once: $(shown query 3)" \
    "| $r_lookup x the cat | at most 2.0x | $(meets "$r_lookup" "<=" 2.0) |"
  echo "| \`/U /list\` of the same map | $(shown query 2) | the same \`cat\`: $(shown query 3)" \
    "| $r_list x the cat | at most 2.0x | $(meets "$r_list" "<=" 2.0) |"
  echo "| a large map, changed: \`/U /add\` of a new class into $(count "$n_large") bindings" \
    "| $(shown large 1) | the floor on the same file: $(shown large 2) | $r_large x the floor" \
    "| at most 1.3x | $(meets "$r_large" "<=" 1.3) |"
  echo "| the same with the map directory on tmpfs (what the CPU costs) | $(shown tmpfs 1)" \
    "| the floor: $(shown tmpfs 2) | $r_tmpfs x | at most 2.5x | $(meets "$r_tmpfs" "<=" 2.5) |"
  echo "| peak RSS of that add | $(mib "$rss_large") | the map file: $(mib "$((large_bytes / 1024))")" \
    "| $r_rss x | at most 2.5x | $(meets "$r_rss" "<=" 2.5) |"
  echo "| growth: time per binding of \`/U /add\` into $(count "$n_large") vs into $(count "$n_small")" \
    "| $(shown large 1) | \`/x64 /U /add\` into the 64-bit map of $(count "$n_small"): $(shown large 3)" \
    "| $r_growth x | at most 1.2x | $(meets "$r_growth" "<=" 1.2) |"
  echo "| \`/U /deletelib\` removing every second binding of $(count "$n_delete")" \
    "| $(shown deletelib 1) | \`/U /add\` of a new class into the same map: $(shown deletelib 2)" \
    "| $r_delete x | at most 1.1x | $(meets "$r_delete" "<=" 1.1) |"
  echo "| \`zembril-dump --check\` by root, beside $n_holders processes of another user holding" \
    "$(count "$n_descriptors") descriptors each and one holding $(count "$n_locks") POSIX locks" \
    "| $(shown check_loaded 1) | the same on a quiet machine: $(shown check_idle 1)" \
    "| $d_check_root s more | at most 1 s more | $(meets "$d_check_root" "<=" 1.0) |"
  echo "| the same by that other user, who cannot see root's descriptors and reads" \
    "\`/proc/locks\` | $(shown check_loaded 2) | the same on a quiet machine: $(shown check_idle 2)" \
    "| $d_check_nobody s more | at most 1 s more | $(meets "$d_check_nobody" "<=" 1.0) |"
  echo
  echo "## Peak resident memory (\`/usr/bin/time -f %M\`, one run each)"
  echo
  echo "| run | peak RSS |"
  echo "|---|---|"
  echo "| \`/U /add\` into $(count "$n_single") bindings | $(mib "$rss_single") |"
  echo "| \`/file\` of $(count "$n_bulk") \`add\` lines | $(mib "$rss_bulk") |"
  echo "| \`/U /add\` into $(count "$n_large") bindings ($(mib "$((large_bytes / 1024))") map file)" \
    "| $(mib "$rss_large") |"
  echo "| \`/U /list\` of the same map | $(mib "$rss_list") |"
  echo "| the floor on that file | $(mib "$rss_floor") |"
  echo
  echo "## Memory at hostile sizes (\`/usr/bin/time -f %M\`, one run each)"
  echo
  echo "A run's memory follows what it must hold at once, never the size of a file"
  echo "or of one record in it: the goal is at most twice those bytes plus 16 MiB."
  echo "zembril-dump writes a binding out as it reads it, so it must hold none of"
  echo "one; a map of empty records is loaded whole, as every map is."
  echo
  echo "| run | must hold at once | peak RSS | goal | met |"
  echo "|---|---|---|---|---|"
  hostile_row() { # $1 run, $2 bytes held, $3 peak KiB
    local goal=$(($2 * 2 / 1024 + 16384))
    echo "| $1 | $(mib "$(($2 / 1024))") | $(mib "$3") | at most $(mib "$goal")" \
      "| $(meets "$3" "<=" "$goal") |"
  }
  hostile_row "\`/file\` of one \`add\` line of $(count "$n_line") bytes" "$n_line" "$rss_line"
  hostile_row "\`zembril-dump\` of the binding it made" 0 "$rss_dump_text"
  hostile_row "\`zembril-dump --format=json\` of the same" 0 "$rss_dump_json"
  hostile_row "\`zembril-dump --format=commands\` of the same" 0 "$rss_dump_commands"
  hostile_row "\`zembril-dump\` of a map of one binding of $(count "$n_record") bytes" \
    0 "$rss_record_show"
  hostile_row "\`zembril-dump --check\` of the same" 0 "$rss_record_check"
  hostile_row "\`zembril-dump --salvage\` of the same" 0 "$rss_record_salvage"
  hostile_row "\`zembril-dump\` of a map of $(count "$n_empty") empty records" \
    "$empty_bytes" "$rss_empty_dump"
  hostile_row "\`/U /lookup\` in the same map" "$empty_bytes" "$rss_empty_lookup"
  echo
  syscall_section
  ansible_section
  echo "## Commands"
  echo
  echo "The map directory is named by the directory file, so every zembril command below"
  echo "runs on the map of its case (the add on the single, large, tmpfs and deletelib"
  echo "maps, the floor on the first three); \`--prepare\` restores the map file or database"
  echo "before each run where the command changes it, and before each run of the floor"
  echo "beside it."
  echo
  echo '```sh'
  echo "zembril /U /add $new_class $new_library"
  echo "zembril-shared-libstdcxx /U /add $new_class $new_library   # linked as the packages link it"
  echo "sqlite3 single.db \"INSERT OR IGNORE INTO map VALUES('$new_class','$new_library');\""
  echo "floor dravimap"
  echo "floor --commands bulk.txt dravimap   # the map that bulk.txt yields"
  echo "zembril /file bulk.txt             # U, add, CLASS, LIBRARY per line"
  echo "sqlite3 bulk.db \".read bulk.sql\"   # BEGIN; INSERT OR IGNORE ... ; COMMIT;"
  echo "zembril /U /lookup $lookup_class"
  echo "zembril /U /list"
  echo "cat dravimap"
  echo "zembril /x64 /U /add $new_class $new_library   # the 64-bit map beside the large one"
  echo "zembril /U /deletelib /usr/lib64/shared/libshared.so.1"
  echo "zembril-dump --check"
  echo "setpriv --reuid=65534 --regid=65534 --clear-groups zembril-dump --check"
  echo "holder DESCRIPTORS LOCKS DIR      # bench/holder.c, run as uid 65534"
  echo "zembril /file line.txt             # memory: one add line of a huge library"
  echo "zembril-dump [--check | --salvage] [--format=json | commands] dravimap"
  echo "zembril /U /lookup Nothing          # in a map of empty records"
  echo "bench/ansible.sh BUILD N RUNS       # the Ansible tasks beside a builtin one"
  echo '```'
  echo
  echo "The SQLite table is \`CREATE TABLE map(class TEXT PRIMARY KEY, library TEXT NOT NULL)\`"
  echo "with the default journal and synchronous settings. The data come from"
  echo "\`bench/bindings.awk\`."
  echo
  echo "## History"
  echo
  echo "Earlier sittings, the figures before and after each change and what each"
  echo "bought are in [bench/HISTORY.md](bench/HISTORY.md), written by hand; this file"
  echo "is rewritten whole by each run, so move a sitting's figures there before"
  echo "replacing them."
} >"$out"
echo
echo "== report written to $out"
