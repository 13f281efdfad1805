#!/usr/bin/env bash
# source-tarball.sh DIR: writes DIR/zembril-VERSION.tar.gz, the release
# tarball that the rpm and pacman builds unpack, as their distributions
# unpack one, and prints VERSION. It is git archive of a commit, so that the
# same commit always makes the same bytes: HEAD where the checkout holds no
# change, and VERSION is CMakeLists.txt's; otherwise a commit of the
# checkout as it is (tracked and new files alike), made aside with a fixed
# date and touching no branch, and VERSION is marked with its tree
# ("1.3.0.dirty.0123456789ab"), so that two different trees never make
# packages of one version. Outside a git checkout, the files as they are.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(zembril VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "$0: no version in CMakeLists.txt" >&2; exit 1; }
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  find . -path './build*' -prune -o ! -type d -printf '%P\0' |
    tar --null -T - --owner=0 --group=0 --transform="s,^,zembril-$version/,S" -czf "$out/zembril-$version.tar.gz"
  echo "$version"
  exit
fi
commit=HEAD
if [[ -n $(git status --porcelain --untracked-files=normal) ]]; then
  index=$(mktemp)
  trap 'rm -f "$index"' EXIT
  cp "$(git rev-parse --git-path index)" "$index"
  GIT_INDEX_FILE=$index git add -A
  tree=$(GIT_INDEX_FILE=$index git write-tree)
  version=$version.dirty.${tree:0:12}
  commit=$(GIT_AUTHOR_DATE=2000-01-01T00:00:00Z GIT_COMMITTER_DATE=2000-01-01T00:00:00Z GIT_AUTHOR_NAME=zembril GIT_COMMITTER_NAME=zembril \
    GIT_AUTHOR_EMAIL=zembril@example.org GIT_COMMITTER_EMAIL=zembril@example.org \
    git commit-tree "$tree" -m "zembril $version")
fi
git archive --format=tar --prefix="zembril-$version/" "$commit" | gzip -n >"$out/zembril-$version.tar.gz"
echo "$version"
