#!/usr/bin/env bash
# pacman-test.sh PACKAGES WORK: has pacman --root install, upgrade and
# remove the zembril package that packaging/arch/build.sh wrote to
# PACKAGES, and a library that ships its declaration, in the throwaway root
# of system-root.sh; after each transaction the root's map is as expected
# and zembril-sync ran as often as expected. run.sh starts it in a private
# mount namespace; WORK is an empty scratch directory.
set -euo pipefail
packages=$(cd "$1" && pwd)
work=$2
# shellcheck source=tests/package/system-root.sh
source "$(dirname "$0")/system-root.sh"

zembril_package=$(echo "$packages"/zembril-[0-9]*-x86_64.pkg.tar.zst)
[[ -f $zembril_package ]] || fail "$packages holds no zembril package"
mkdir -p "$root/var/lib/pacman"
# The root's empty database knows nothing of the libraries it has.
pacman_root=(pacman --root "$root" --noconfirm --assume-installed glibc --assume-installed gcc-libs)

step "pacman: libwidget 1 and 2, each shipping its declaration"
# Put together as makepkg would, without its minute of overhead: pacman
# reads the metadata and the files.
for version in 1 2; do
  tree=$work/libwidget-$version
  mkdir -p "$tree/usr/lib64" "$tree/usr/share/zembril/declarations"
  : >"$tree/usr/lib64/libwidget.so.$version"
  declaration "$version" >"$tree/usr/share/zembril/declarations/libwidget"
  printf '%s\n' 'pkgname = libwidget' "pkgver = $version-1" 'pkgdesc = example for the zembril package tests' \
    'arch = any' 'size = 0' 'depend = zembril' >"$tree/.PKGINFO"
  quiet bsdtar -C "$tree" --uid 0 --gid 0 -cf "$work/libwidget-$version.pkg.tar" .PKGINFO usr
done
widget_package=$work/libwidget

step "pacman: zembril alone, then removed with nothing but the lock file in the map directory"
# The hook runs for zembril itself too, for the declarations already there.
transaction 1 "${pacman_root[@]}" -U "$zembril_package"
expect_made_directories
chroot "$root" zembril /x64 /U /list || fail "zembril exited with $?"
[[ $(ls -A "$root$map_directory") == dravimap.lock ]] || fail "the map directory holds [$(ls -A "$root$map_directory")]"
transaction 0 "${pacman_root[@]}" -R zembril
[[ -d $root/usr/local && ! -e $root/usr/local/tolvane && ! -e $root/var/lib/zembril ]] ||
  fail "the removal left [$(find "$root/usr/local" "$root/var/lib/zembril" 2>&1)]"

step "pacman: zembril and libwidget 1 in one transaction"
transaction 1 "${pacman_root[@]}" -U "$zembril_package" "$widget_package-1.pkg.tar"
expect_made_directories
expect_map "${widget1[@]}"

step "pacman: upgrade to libwidget 2, a new soname without WidgetExtra"
transaction 1 "${pacman_root[@]}" -U "$widget_package-2.pkg.tar"
expect_map "${widget2[@]}"

step "pacman: an administrator's binding, then remove libwidget"
chroot "$root" zembril /x64 /U /add com.admin.Tool /opt/tool.so || fail "zembril exited with $?"
expect_map "$admin" "${widget2[@]}"
transaction 1 "${pacman_root[@]}" -R libwidget
expect_map "$admin"

step "pacman: remove zembril; the map and its directory stay"
transaction 0 "${pacman_root[@]}" -R zembril
[[ -s $root$map_directory/dravimap64 && ! -e $root/var/lib/zembril ]] ||
  fail "the removal took the map or left [$(ls -A "$root/var/lib/zembril")]"
