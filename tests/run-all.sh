#!/usr/bin/env bash
# run-all.sh [STEP...]: the whole test suite, in steps that fail fast: the
# checks that need no build come first, then what takes minutes. The steps,
# in the order they run:
#   format   clang-format on every C and C++ file
#   lint     the man pages, the shell scripts, dh_zembril and the Ansible
#            collection's Python and YAML (tests/lint.sh)
#   tidy     clang-tidy on the code, the tests, the benchmarks and the fuzz
#            targets (on the compile commands of the g++ build and of the
#            fuzz build, configured but not built) and cppcheck
#   gcc      the g++ build with -Werror, and the unit, end-to-end and
#            fault-injection tests
#   asan     the clang build under AddressSanitizer and UBSan, and the tests
#            again (all but the kill sweeps)
#   fuzz     each libFuzzer target for FUZZ_SECONDS seconds (default 45)
#   package  the Debian, rpm and pacman packages, tested with dpkg, rpm and
#            pacman with the maintainer recipes (tests/package/run.sh)
#   ansible  the Ansible collection's sanity, unit and integration tests, the
#            last against a fleet of three local hosts (tests/ansible/run.sh;
#            needs the gcc step's build)
#   bench    the whole-run benchmark in its quick form (bench/run.sh --quick)
# With no STEP, all of them; with some, those, in the order given. Each step
# prints its name and how long it took, and the run its total. Installs the
# Debian packages it needs when one is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-45}
all_steps=(format lint tidy gcc asan fuzz package ansible bench)
folders=(status os classNameMap mapFile persistentStorage classMap cli tool dump sync)

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=("${all_steps[@]}")
for name in "${steps[@]}"; do
  [[ " ${all_steps[*]} " == *" $name "* ]] ||
    { echo "usage: $0 [STEP...], STEP one of: ${all_steps[*]}" >&2; exit 2; }
done

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

# Every C and C++ file of the tree, tracked and new alike, without builds.
c_files() {
  git ls-files -z --cached --others --exclude-standard -- '*.c' '*.cc' '*.h' |
    while IFS= read -r -d '' file; do if [[ -e $file ]]; then printf '%s\0' "$file"; fi; done
}

# The g++ build's directory, configured; tidy needs only its compile commands.
configure_gcc() {
  cmake -S . -B build-ci/gcc -DCMAKE_CXX_COMPILER=g++ -DZEMBRIL_WERROR=ON -DZEMBRIL_BENCH=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
}

step_format() {
  c_files | xargs -0 clang-format --dry-run --Werror
  echo "clang-format: clean"
}

step_lint() {
  bash tests/lint.sh
}

step_tidy() {
  configure_gcc
  local sources=() folder
  for folder in "${folders[@]}"; do sources+=("$folder"/*.cc); done
  sources+=(bench/*.cc tests/*.cc)
  # The fuzz targets are built by clang alone: their compile commands come
  # from a configuration of that build, which compiles nothing.
  cmake -S . -B build-ci/fuzz-commands -DCMAKE_CXX_COMPILER=clang++ -DZEMBRIL_FUZZ=ON \
    -DBUILD_TESTING=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  # A few files to each clang-tidy, as many at once as there are cores.
  if ! { printf '%s\0' "${sources[@]}" |
    xargs -0 -n 4 -P "$jobs" clang-tidy --quiet -p build-ci/gcc &&
    printf '%s\0' fuzz/*.cc |
    xargs -0 -n 4 -P "$jobs" clang-tidy --quiet -p build-ci/fuzz-commands; } >build-ci/clang-tidy.log 2>&1; then
    cat build-ci/clang-tidy.log
    exit 1
  fi
  echo "clang-tidy: clean"
  cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --std=c++20 \
    -q -I . "${folders[@]}"
  echo "cppcheck: clean"
}

step_gcc() {
  configure_gcc
  cmake --build build-ci/gcc -j"$jobs"
  ctest --test-dir build-ci/gcc --output-on-failure -j"$jobs"
}

step_asan() {
  cmake -S . -B build-ci/asan -DCMAKE_CXX_COMPILER=clang++ -DZEMBRIL_WERROR=ON \
    -DZEMBRIL_SANITIZE=ON >/dev/null
  cmake --build build-ci/asan -j"$jobs"
  # The kill sweeps run in the plain build only: under the sanitizer the
  # runtime's own system calls move the kill points and cost most of the time.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-ci/asan --output-on-failure -j"$jobs" -E 'FaultInjection\.Killed|Sync\.Killed'
}

step_fuzz() {
  cmake -S . -B build-ci/fuzz -DCMAKE_CXX_COMPILER=clang++ -DZEMBRIL_WERROR=ON -DZEMBRIL_SANITIZE=ON \
    -DZEMBRIL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-ci/fuzz -j"$jobs"
  local target work
  for target in fuzzMapFile fuzzCommandLine fuzzCommandFile fuzzDirectoryFile fuzzDeclarations fuzzSyncRecord; do
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
}

step_package() {
  bash tests/package/run.sh --skip-lint
}

step_ansible() {
  [ -x build-ci/gcc/zembril ] || { echo "the ansible step needs the gcc step's build" >&2; exit 1; }
  bash tests/ansible/run.sh build-ci/gcc --skip-lint
}

step_bench() {
  bash bench/run.sh --quick
}

declare -A titles=(
  [format]="clang-format"
  [lint]="man pages, shell scripts, dh_zembril, the Ansible collection's Python and YAML"
  [tidy]="clang-tidy and cppcheck"
  [gcc]="g++ build and tests"
  [asan]="clang build with AddressSanitizer and UBSan, and tests"
  [fuzz]="fuzzing, ${fuzz_seconds}s per target"
  [package]="bash completion, the Debian package and dpkg with the maintainer recipes, rpm and pacman"
  [ansible]="the Ansible collection: sanity, unit tests, and a fleet of three hosts with their own roots"
  [bench]="benchmark, quick form: small sizes and few runs, to prove bench/run.sh works"
)

mkdir -p build-ci
started=$SECONDS
times=()
current=
# Whichever way the run ends, the step it ended in and the time it took.
finish() {
  local status=$?
  echo
  for line in "${times[@]}"; do echo "$line"; done
  if [ $status -ne 0 ]; then
    echo "== FAILED in step $current after $((SECONDS - step_started)) s;" \
      "$((SECONDS - started)) s in all"
  else
    echo "== all passed in $((SECONDS - started)) s"
  fi
}
trap finish EXIT

step() { echo; echo "== $1: ${titles[$1]}"; }

for current in "${steps[@]}"; do
  step_started=$SECONDS
  step "$current"
  "step_$current"
  times+=("$(printf '%-8s %5d s' "$current" $((SECONDS - step_started)))")
  echo "-- $current: $((SECONDS - step_started)) s"
done
current=
