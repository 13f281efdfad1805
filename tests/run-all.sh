#!/usr/bin/env bash
# The whole test suite: builds warning-free under g++ and clang (-Werror),
# runs the unit and end-to-end tests, runs them again under AddressSanitizer
# and UBSan, fuzzes each parser for a bounded time, and runs clang-tidy,
# cppcheck and clang-format, and builds the Debian, rpm and pacman packages
# and tests them and the maintainer recipes with dpkg, rpm and pacman
# (tests/package/run.sh), runs the Ansible collection's sanity, unit and
# integration tests, the last against a fleet of three local hosts
# (tests/ansible/run.sh),
# and runs the whole-run benchmark in its quick form (bench/run.sh --quick). Installs the
# Debian packages it needs when one is missing. FUZZ_SECONDS (default 60)
# bounds each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

missing=()
while read -r package; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done < .ci/packages
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

step() { echo; echo "== $*"; }

step "g++ build and tests"
cmake -S . -B build-ci/gcc -DCMAKE_CXX_COMPILER=g++ -DZEMBRIL_WERROR=ON -DZEMBRIL_BENCH=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build-ci/gcc -j"$jobs"
ctest --test-dir build-ci/gcc --output-on-failure -j"$jobs"

step "clang build with AddressSanitizer and UBSan, and tests"
cmake -S . -B build-ci/asan -DCMAKE_CXX_COMPILER=clang++ -DZEMBRIL_WERROR=ON \
  -DZEMBRIL_SANITIZE=ON >/dev/null
cmake --build build-ci/asan -j"$jobs"
# The kill sweeps run in the plain build only: under the sanitizer the
# runtime's own system calls move the kill points and cost most of the time.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-ci/asan --output-on-failure -j"$jobs" -E 'FaultInjection\.Killed|Sync\.Killed'

step "fuzzing, ${fuzz_seconds}s per target"
cmake -S . -B build-ci/fuzz -DCMAKE_CXX_COMPILER=clang++ -DZEMBRIL_WERROR=ON -DZEMBRIL_SANITIZE=ON \
  -DZEMBRIL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-ci/fuzz -j"$jobs"
for target in fuzzMapFile fuzzCommandLine fuzzCommandFile fuzzDirectoryFile; do
  work=$(mktemp -d)
  # The checked-in seeds stay as they are; new inputs go to the scratch corpus.
  if ! build-ci/fuzz/fuzz/$target -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix="$work/" "$work" "fuzz/corpus/$target" >"$work.log" 2>&1; then
    tail -50 "$work.log"
    echo "$target: FAILED"
    exit 1
  fi
  echo "$target: $(grep -o 'cov: [0-9]*' "$work.log" | tail -1)," \
    "$(grep 'stat::number_of_executed_units' "$work.log" | awk '{print $2}') executions"
  rm -rf "$work" "$work.log"
done
rm -rf /tmp/zembril-fuzz-*

step "static analysis"
folders=(status os classNameMap mapFile persistentStorage classMap cli tool dump sync)
sources=()
for folder in "${folders[@]}"; do sources+=("$folder"/*.cc); done
if ! clang-tidy --quiet -p build-ci/gcc "${sources[@]}" >build-ci/clang-tidy.log 2>&1; then
  cat build-ci/clang-tidy.log
  exit 1
fi
echo "clang-tidy: clean"
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --std=c++20 \
  -q -I . "${folders[@]}"
echo "cppcheck: clean"
headers=()
for folder in "${folders[@]}"; do headers+=("$folder"/*.h); done
clang-format --dry-run --Werror "${sources[@]}" "${headers[@]}" \
  tests/*.cc tests/*.h fuzz/*.cc fuzz/*.h bench/*.cc
echo "clang-format: clean"

step "man pages, bash completion, the Debian package and dpkg with the maintainer recipes, rpm and pacman"
bash tests/package/run.sh

step "the Ansible collection: sanity, unit tests, and a fleet of three hosts with their own roots"
bash tests/ansible/run.sh build-ci/gcc

step "benchmark, quick form: small sizes and few runs, to prove bench/run.sh works"
bash bench/run.sh --quick

step "all passed"
