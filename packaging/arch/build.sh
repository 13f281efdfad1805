#!/usr/bin/env bash
# build.sh OUTDIR: builds zembril-VERSION-REL-ARCH.pkg.tar.zst from this
# checkout into OUTDIR with makepkg, from the release tarball of
# source-tarball.sh (the version of a checkout with changes names its tree),
# whose sum it writes into the PKGBUILD it builds; check() runs the tests. makepkg refuses to run as root: run as
# root, this builds as nobody, in a scratch directory of its own. Further
# arguments go to makepkg.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 OUTDIR [MAKEPKG-OPTION...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
build=$(mktemp -d "${TMPDIR:-/tmp}/zembril-makepkg.XXXXXX")
trap 'rm -rf "$build"' EXIT

cp "$here/zembril.install" "$build/"
version=$(bash "$here/../source-tarball.sh" "$build")
pkgver=$(sed -n 's/^pkgver=//p' "$here/PKGBUILD")
[[ $version == "$pkgver" || $version == "$pkgver".dirty.* ]] ||
  { echo "$0: the PKGBUILD is at version $pkgver, CMakeLists.txt at $version" >&2; exit 1; }
sum=$(sha256sum "$build/zembril-$version.tar.gz")
sed -e "s/^pkgver=.*/pkgver=$version/" -e "s/^sha256sums=.*/sha256sums=('${sum%% *}')/" \
  "$here/PKGBUILD" >"$build/PKGBUILD"
# Where pacman does not manage the system's packages (pacman on Debian), its
# database knows none of the build dependencies. A query would make the
# database where there is none.
options=()
if [[ ! -d $(pacman-conf DBPath)/local ]] || ! pacman -Q pacman >/dev/null 2>&1; then options+=(--nodeps); fi
builder=()
if [[ $EUID -eq 0 ]]; then
  chown -R nobody: "$build"
  builder=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi
# Arch's own makepkg.conf makes .pkg.tar.zst, Debian's .pkg.tar.gz; neither
# sets MAKEFLAGS.
(cd "$build" && env HOME="$build" PKGEXT=.pkg.tar.zst PKGDEST="$build" MAKEFLAGS="${MAKEFLAGS:--j$(nproc)}" \
  "${builder[@]}" makepkg --noconfirm "${options[@]}" "${@:2}")
cp "$build"/*.pkg.tar.zst "$out/"
