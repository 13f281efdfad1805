#!/usr/bin/env bash
# pacman-test.sh PACKAGES WORK: has pacman --root go through the
# transaction history of system-root.sh with the zembril package that
# packaging/arch/build.sh wrote to PACKAGES and a library that ships its
# declaration. run.sh starts it in a private mount namespace; WORK is an
# empty scratch directory.
set -euo pipefail
packages=$(cd "$1" && pwd)
work=$2
# shellcheck source=tests/package/system-root.sh
source "$(dirname "$0")/system-root.sh"

zembril_package=$(echo "$packages"/zembril-[0-9]*-x86_64.pkg.tar.zst)
[[ -f $zembril_package ]] || fail "$packages holds no zembril package"
# libwidget, put together as makepkg would but in a fraction of its time
# (seconds a package here): pacman reads the metadata and the files.
for version in 1 2; do
  tree=$work/libwidget-$version
  mkdir -p "$tree/usr/lib64" "$tree/usr/share/zembril/declarations"
  : >"$tree/usr/lib64/libwidget.so.$version"
  declaration "$version" >"$tree/usr/share/zembril/declarations/libwidget"
  printf '%s\n' 'pkgname = libwidget' "pkgver = $version-1" 'pkgdesc = example for the zembril package tests' \
    'arch = any' 'size = 0' 'depend = zembril' >"$tree/.PKGINFO"
  quiet bsdtar -C "$tree" --uid 0 --gid 0 -cf "$work/libwidget-$version.pkg.tar" .PKGINFO usr
done
widget1_package=$work/libwidget-1.pkg.tar
widget2_package=$work/libwidget-2.pkg.tar

mkdir -p "$root/var/lib/pacman"
# The root's empty database knows nothing of the libraries it has.
install=(pacman --root "$root" --noconfirm --assume-installed glibc --assume-installed gcc-libs -U)
upgrade=("${install[@]}")
erase=(pacman --root "$root" --noconfirm -R)
# The hook runs for zembril itself too, for the declarations already there.
history pacman 1
