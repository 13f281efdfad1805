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

step "pacman: libwidget 1 and 2, each shipping its declaration, built with makepkg"
for version in 1 2; do
  mkdir -p "$root/build/libwidget-$version"
  declaration "$version" >"$root/build/libwidget-$version/libwidget.zembril"
  cat >"$root/build/libwidget-$version/PKGBUILD" <<END
pkgname=libwidget
pkgver=$version
pkgrel=1
pkgdesc='example for the zembril package tests'
arch=(any)
license=(MIT)
depends=(zembril)
source=(libwidget.zembril)
sha256sums=(SKIP)
package() {
  install -D -m 0644 /dev/null "\$pkgdir/usr/lib64/libwidget.so.$version"
  install -D -m 0644 libwidget.zembril "\$pkgdir/usr/share/zembril/declarations/\$pkgname"
}
END
done
chown -R nobody: "$root/build"
for version in 1 2; do
  quiet chroot "$root" setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
    env -C "/build/libwidget-$version" HOME=/build PKGEXT=.pkg.tar.zst makepkg --nodeps
done
widget_package=$root/build/libwidget

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
transaction 1 "${pacman_root[@]}" -U "$zembril_package" "$widget_package-1/libwidget-1-1-any.pkg.tar.zst"
expect_made_directories
expect_map "${widget1[@]}"

step "pacman: upgrade to libwidget 2, a new soname without WidgetExtra"
transaction 1 "${pacman_root[@]}" -U "$widget_package-2/libwidget-2-1-any.pkg.tar.zst"
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
