#!/usr/bin/env bash
# source-tarball.sh DIR: writes DIR/zembril-VERSION.tar.gz, the checkout as
# it is (tracked and new files alike, no build directories), for the rpm and
# pacman builds, which unpack a release tarball as their distributions do.
# Prints the version.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(zembril VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "$0: no version in CMakeLists.txt" >&2; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -e $file ]] && printf '%s\0' "$file"; done
else
  find . -path './build*' -prune -o ! -type d -printf '%P\0'
fi | tar --null -T - --owner=0 --group=0 --transform="s,^,zembril-$version/,S" -czf "$out/zembril-$version.tar.gz"
echo "$version"
