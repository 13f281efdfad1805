#!/usr/bin/env bash
# dpkg-test.sh DEB DH_DEB WORK: installs, uses, removes and purges the
# zembril package DEB with dpkg, and does the same with small packages built
# from the recipe in examples/ and, with dh_zembril from DH_DEB, from
# declarations, checking the class map with zembril-dump after each step.
# run.sh starts it in a private mount namespace; it first lays
# throwaway overlays over /usr, /etc and /var and a tmpfs over /usr/local, so
# the machine's own system never changes. WORK is an empty scratch directory.
set -euo pipefail
deb=$1
dh_deb=$2
work=$3
examples=$(cd "$(dirname "$0")/../../examples" && pwd)

# shellcheck source=tests/package/overlays.sh
source "$(dirname "$0")/overlays.sh"
mkdir "$work/tmp" "$work/packages"
export TMPDIR=$work/tmp DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
step() { echo "  $*"; }
quiet() { "$@" >"$work/output" 2>&1 || { cat "$work/output"; fail "$*"; }; }

# Checks that the 64-bit map holds exactly the given bindings, one per
# argument as "SCOPE CLASS LIBRARY", in zembril-dump's order: the map of the
# system image in $image when it is set, else the running system's.
expect_map() {
  local want="" binding got
  for binding in "$@"; do want+=$(tr ' ' '\t' <<<"$binding")$'\n'; done
  got=$(zembril-dump ${image:+--root="$image"} --x64) || fail "zembril-dump --x64 exited with $?"
  [[ $got == "${want%$'\n'}" ]] || fail "the map holds [$got], expected [${want%$'\n'}]"
}

# Builds the package NAME VERSION from the tree $work/tree and empties the
# tree for the next one; further arguments are control fields.
build_package() {
  local name=$1 version=$2 field
  mkdir -p "$work/tree/DEBIAN"
  {
    echo "Package: $name"
    echo "Version: $version"
    echo "Architecture: all"
    echo "Maintainer: The zembril authors <zembril@example.org>"
    for field in "${@:3}"; do echo "$field"; done
    echo "Description: example for the zembril package tests"
  } >"$work/tree/DEBIAN/control"
  quiet dpkg-deb --root-owner-group --build "$work/tree" "$work/packages/${name}_$version.deb"
  rm -rf "$work/tree"
}

# Puts FILE into the package tree at PATH with MODE.
add_file() { install -D -m "$3" "$1" "$work/tree$2"; }

map_directory=/usr/local/tolvane/.mirtal/etc
record=/var/lib/zembril/created-directories
image=

step "install the package; run zembril and zembril-dump from /usr/bin"
quiet dpkg -i "$deb"
[[ $(stat -c '%a %U' /usr/local/tolvane /usr/local/tolvane/.mirtal "$map_directory") == \
  $'755 root\n755 root\n755 root' ]] || fail "postinst did not make the map directory, 0755"
[[ $(command -v zembril zembril-dump) == $'/usr/bin/zembril\n/usr/bin/zembril-dump' ]] ||
  fail "zembril and zembril-dump are not in /usr/bin"
zembril /x64 /U /add com.example.Other '/usr/lib*/libother.so' || fail "zembril exited with $?"
expect_map "U com.example.Other /usr/lib64/libother.so"
# --check asks for attention to a binding whose library is not there.
install -D -m 0644 /dev/null /usr/lib64/libother.so
quiet zembril-dump --check
# shellcheck source=tests/package/local-users.sh
source "$(dirname "$0")/local-users.sh"

step "postinst and prerm pair: a failed and a good configure, reconfigure, upgrade to a new soname, remove"
for version in 1 2; do
  sed "s/libwidget\.so\.1/libwidget.so.$version/" "$examples/register/postinst" >"$work/postinst"
  sed "s/libwidget\.so\.1/libwidget.so.$version/" "$examples/register/prerm" >"$work/prerm"
  add_file "$work/postinst" /DEBIAN/postinst 0755
  add_file "$work/prerm" /DEBIAN/prerm 0755
  add_file /dev/null "/usr/lib64/libwidget.so.$version" 0644
  build_package zembril-test-widget "$version.0" "Depends: zembril"
done
# A map directory that does not exist makes zembril fail: so must the postinst.
mkdir -p /etc/tolvane/.mirtal
echo /nonexistent >/etc/tolvane/.mirtal/mirtal.dir
if dpkg -i "$work/packages/zembril-test-widget_1.0.deb" >"$work/output" 2>&1; then
  fail "the postinst took zembril's failure for a success"
fi
grep -q 'Status on exit was -50204' "$work/output" || fail "the postinst lost zembril's report"
rm -r /etc/tolvane/.mirtal
quiet dpkg --configure zembril-test-widget
widget1=("U com.example.Other /usr/lib64/libother.so"
  "U com.example.Widget /usr/lib64/libwidget.so.1" "K Map<int,Widget> /usr/lib64/libwidget.so.1")
expect_map "${widget1[@]}"
quiet dpkg-reconfigure zembril-test-widget
expect_map "${widget1[@]}"
quiet dpkg -i "$work/packages/zembril-test-widget_2.0.deb"
expect_map "U com.example.Other /usr/lib64/libother.so" \
  "U com.example.Widget /usr/lib64/libwidget.so.2" "K Map<int,Widget> /usr/lib64/libwidget.so.2"
quiet dpkg -r zembril-test-widget
expect_map "U com.example.Other /usr/lib64/libother.so"
zembril /x64 /U /delete com.example.Other || fail "zembril exited with $?"
expect_map

# shellcheck source=tests/package/declarations.sh
source "$(dirname "$0")/declarations.sh"
# shellcheck source=tests/package/offline-root.sh
source "$(dirname "$0")/offline-root.sh"

step "remove a declaring package and zembril in one run, and purge zembril: the map and its directories stay"
zembril /x64 /U /add com.example.Kept /usr/lib64/libkept.so || fail "zembril exited with $?"
quiet dpkg -i "$work/packages/zembril-dh-gadget_1.0_all.deb"
expect_map "U com.example.Gadget /usr/lib64/libgadget.so.1" "U com.example.GadgetExtra /usr/lib64/libgadget.so.1" \
  "U com.example.Kept /usr/lib64/libkept.so"
# zembril-dump goes with zembril; the package's own reads the map after.
dpkg-deb -x "$deb" "$work/zembril-files"
quiet dpkg -r zembril-dh-gadget zembril
PATH=$work/zembril-files/usr/bin:$PATH expect_map "U com.example.Kept /usr/lib64/libkept.so"
[[ ! -e /usr/bin/zembril && ! -e /usr/bin/zembril-dump ]] || fail "dpkg -r left the programs"
# No record of the directories the postinst made: declarations.sh purged
# zembril while the map was in them, so they stayed and the record went.
[[ -s $map_directory/dravimap64 && ! -e $record ]] || fail "dpkg -r took the map, or a record came back"
quiet dpkg -P zembril
[[ -s $map_directory/dravimap64 ]] || fail "dpkg -P took the map"
[[ ! -e /var/lib/zembril && ! -e /usr/share/doc/zembril ]] || fail "dpkg -P left files behind"

step "remove and purge the package: the directories it made go, empty but for the lock file"
rm -r /usr/local/tolvane/.mirtal
quiet dpkg -i "$deb"
# A run that changes nothing leaves the lock file alone in the map directory.
zembril /x64 /U /list || fail "zembril exited with $?"
[[ $(ls -A "$map_directory") == dravimap.lock ]] || fail "the map directory holds [$(ls -A "$map_directory")]"
quiet dpkg -P zembril
[[ -d /usr/local/tolvane && ! -e /usr/local/tolvane/.mirtal ]] ||
  fail "dpkg -P did not remove exactly the empty directories the postinst made"
[[ ! -e /var/lib/zembril ]] || fail "dpkg -P left /var/lib/zembril"
left=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 'zembril*' 2>/dev/null | grep -v '^.n' || true)
[[ -z $left ]] || fail "dpkg still knows: $left"

step "image build on a host without zembril: the image's own zembril-sync binds"
hash -r
! command -v zembril-sync >/dev/null || fail "zembril-sync is still on the PATH"
image=$work/bare-image
mkdir -p "$image/var/lib/dpkg/info" "$image/var/lib/dpkg/updates" "$image/usr/local"
touch "$image/var/lib/dpkg/status"
bare() { quiet dpkg --root="$image" --force-script-chrootless "$@"; }
for standin in "$work"/packages/standin-*.deb; do bare -i "$standin"; done
bare -i "$deb" "$work/packages/zembril-dh-gadget_1.0_all.deb"
PATH=$image/usr/bin:$PATH expect_map "U com.example.Gadget /usr/lib64/libgadget.so.1" \
  "U com.example.GadgetExtra /usr/lib64/libgadget.so.1"
# An image whose zembril-sync this host cannot run: the trigger fails and
# says what to install; once it can run, dpkg --configure --pending finishes.
chmod a-x "$image/usr/sbin/zembril-sync"
if dpkg --root="$image" --force-script-chrootless -r zembril-dh-gadget >"$work/output" 2>&1; then
  fail "the trigger took a zembril-sync it could not run for a success"
fi
for said in 'install zembril on the host, or build the image in chroot mode' \
  "'dpkg --root=$image --force-script-chrootless --configure --pending' runs zembril-sync again"; do
  grep -qF "$said" "$work/output" || fail "the failed trigger said: $(cat "$work/output")"
done
chmod a+x "$image/usr/sbin/zembril-sync"
bare --configure --pending
PATH=$image/usr/bin:$PATH expect_map
# Its prerm cannot run it either: it says so, and zembril goes all the same.
chmod a-x "$image/usr/sbin/zembril-sync"
bare -r zembril
grep -qF 'classes that the packages removed with zembril declared may still be bound' "$work/output" ||
  fail "the prerm's failed zembril-sync said: $(cat "$work/output")"
image=
