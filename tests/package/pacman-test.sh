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
# zembril needs pacman 5.1, which runs the transaction here whatever the root holds.
pacman_version=$(pacman -V | sed -n 's/.*Pacman v\([0-9.]*\).*/\1/p')
install=(pacman --root "$root" --noconfirm --assume-installed glibc --assume-installed gcc-libs
  --assume-installed "pacman=$pacman_version" -U)
upgrade=("${install[@]}")
erase=(pacman --root "$root" --noconfirm -R)
# The hook runs for zembril itself too, for the declarations already there.
history pacman 1

step "pacman: declarations named with each mark pacman allows, and a file no package could have"
names=(lib_gadget libGadget lib@gadget)
for name in "${names[@]}"; do
  tree=$work/$name
  mkdir -p "$tree/usr/share/zembril/declarations"
  echo "64 U com.example.$name /usr/lib/$name.so.1" >"$tree/usr/share/zembril/declarations/$name"
  printf '%s\n' "pkgname = $name" 'pkgver = 1-1' 'pkgdesc = example for the zembril package tests' \
    'arch = any' 'size = 0' 'depend = zembril' >"$tree/.PKGINFO"
  quiet bsdtar -C "$tree" --uid 0 --gid 0 -cf "$work/$name.pkg.tar" .PKGINFO usr
done
declarations=$root/usr/share/zembril/declarations
mkdir -p "$declarations"
echo '64 U com.example.Foreign /foreign.so' >"$declarations/lib%foreign"
transaction 1 "${install[@]}" "$zembril_package" "$work"/{lib_gadget,libGadget,lib@gadget}.pkg.tar
[[ $(grep 'passed over' "$work/output") == \
  "zembril-sync: /usr/share/zembril/declarations/lib%foreign: passed over: no package can have this name" ]] ||
  fail "the file no package has was not named once: $(cat "$work/output")"
expect_map "$admin" "U com.example.lib@gadget /usr/lib/lib@gadget.so.1" \
  "U com.example.libGadget /usr/lib/libGadget.so.1" "U com.example.lib_gadget /usr/lib/lib_gadget.so.1"

step "pacman: zembril owns the directories it makes outside /usr/local, and none there"
for directory in /usr/share/zembril /usr/share/zembril/declarations /var/lib/zembril /usr/share/doc/zembril/examples; do
  # The test packages, made with bsdtar, own the directories they hold too.
  pacman --root "$root" -Qqo "$root$directory" | grep -qx zembril || fail "pacman -Qo $directory: not zembril's"
done
! pacman --root "$root" -Qo "$root$map_directory" >/dev/null 2>&1 || fail "a package owns $map_directory"
