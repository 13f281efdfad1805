#!/usr/bin/env bash
# Times the collection's tasks on a map of N bindings (default 1,000,000)
# against a builtin command task, each as one ad-hoc `ansible localhost`
# run, under a root of their own in a scratch directory:
#   a builtin `command` task that runs `zembril-dump --version`;
#   a no-op zembril_binding (the class is bound already);
#   a changing zembril_binding (bound to one library, then to another);
#   zembril_map of one small scope (the K map holds two classes).
# The ratios are the point: the machine's speed drifts, more so when it is
# shared. bench/run.sh runs it and puts the ratios in BENCHMARKS.md.
#
#   bench/ansible.sh BUILD [N] [RUNS]
#
# BUILD holds zembril and dump/zembril-dump; RUNS (default 3) runs of each,
# of which the quickest is reported, one line a task: KEY SECONDS WHAT. Needs ansible-core and the collection's
# source, which it uses in place.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:?usage: $0 BUILD [N] [RUNS]}" && pwd)
n=${2:-1000000}
runs=${3:-3}
scratch=$(mktemp -d /tmp/zembril-bench-ansible.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root/usr/local/tolvane/.mirtal/etc"
export PATH=$build:$build/dump:$PATH ANSIBLE_COLLECTIONS_PATH=$PWD/ansible
export ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_INVENTORY_UNPARSED_WARNING=0 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3

awk -v n="$n" -v form=commands -f bench/bindings.awk >"$scratch/make.txt"
zembril /root "$root" /x64 /file "$scratch/make.txt"
class=$(sed -n '1s/^U, add, \([^,]*\),.*/\1/p' "$scratch/make.txt")
library=$(sed -n '1s/^U, add, [^,]*, //p' "$scratch/make.txt")
rm "$scratch/make.txt"

# best COMMAND...: the seconds of the quickest of RUNS runs of the command.
best() {
  local least='' start end took
  for ((run = 0; run < runs; ++run)); do
    start=$(date +%s%N)
    "$@" >"$scratch/out" 2>&1 || { cat "$scratch/out" >&2; exit 1; }
    end=$(date +%s%N)
    took=$((end - start))
    if [[ -z $least ]] || ((took < least)); then least=$took; fi
  done
  awk -v ns="$least" 'BEGIN { printf "%.3f", ns / 1e9 }'
}
task() { ansible localhost -o -m "$1" -a "$2"; }
flip=0
changing() {
  # Each run binds the class to the library it is not bound to.
  flip=$((1 - flip))
  task zembril.classmap.zembril_binding "root=$root class=$class library=/usr/lib64/bench$flip.so"
}

command=$(best task ansible.builtin.command "zembril-dump --version")
noop=$(best task zembril.classmap.zembril_binding "root=$root class=$class library=$library")
change=$(best changing)
small=$(best task zembril.classmap.zembril_map \
  "{\"root\": \"$root\", \"scope\": \"K\", \"exclusive\": true, \"bindings\": [{\"class\": \"Map<int,A>\", \"library\": \"/a.so\"}, {\"class\": \"Map<int,B>\", \"library\": \"/b.so\"}]}")
# One line a task: a key, the seconds, and what was timed.
echo "command $command a builtin command task (zembril-dump --version)"
echo "noop $noop zembril_binding of a class bound already"
echo "change $change zembril_binding that rebinds a class"
echo "small $small zembril_map of one small scope (exclusive, two classes)"
