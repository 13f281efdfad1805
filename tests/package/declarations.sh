# shellcheck shell=bash
# declarations.sh: sourced by dpkg-test.sh once zembril is installed and the
# map holds no declared binding. Installs dh-zembril, builds three packages
# whose bindings dh_zembril declares (two of their own, and a clone of one
# class of another) and has dpkg install, reconfigure, upgrade, remove and
# purge them, around an administrator's binding that must outlive it all.
# Uses dpkg-test.sh's fail, step, quiet, expect_map, $dh_deb and $work.

: "${work:?}" "${dh_deb:?}"
quiet dpkg -i "$dh_deb"

# Builds PACKAGE VERSION, shipping /usr/lib64/LIBRARY and declaring the
# lines that follow through dh_zembril, with dpkg-buildpackage as a
# packager would, and puts it in $work/packages; fails if the build does.
build_declaring() {
  local name=$1 version=$2 library=$3 source=$work/source/$1-$2
  mkdir -p "$source/debian" "$source/lib"
  cat >"$source/debian/control" <<END
Source: $name
Section: libs
Priority: optional
Maintainer: The zembril authors <zembril@example.org>
Build-Depends: debhelper-compat (= 13), dh-sequence-zembril
Standards-Version: 4.6.2
Rules-Requires-Root: no

Package: $name
Architecture: all
Depends: \${misc:Depends}
Description: example for the zembril package tests
 Its classes are declared for dh_zembril.
END
  printf '%s (%s) unstable; urgency=medium\n\n  * Test.\n\n -- %s  %s\n' "$name" "$version" \
    'The zembril authors <zembril@example.org>' 'Wed, 09 Dec 2026 00:00:00 +0000' >"$source/debian/changelog"
  printf '#!/usr/bin/make -f\n%%:\n\tdh $@\n' >"$source/debian/rules"
  chmod 755 "$source/debian/rules"
  printf '# The classes of %s\n' "$name" >"$source/debian/$name.zembril"
  printf '%s\n' "${@:4}" >>"$source/debian/$name.zembril"
  : >"$source/lib/$library"
  echo "lib/$library usr/lib64" >"$source/debian/$name.install"
  (cd "$source" && dpkg-buildpackage -us -uc -b) >"$work/output" 2>&1 || return 1
  mv "$work/source/${name}_${version}_all.deb" "$work/packages/"
}
build() { build_declaring "$@" || { tail -20 "$work/output"; fail "dpkg-buildpackage of $1 $2"; }; }
build zembril-dh-widget 1.0 libwidget.so.1 \
  "64 U com.example.Widget /usr/lib*/libwidget.so.1" "64 K Map<int,Widget> /usr/lib*/libwidget.so.1"
build zembril-dh-widget 2.0 libwidget.so.2 \
  "64 U com.example.Widget /usr/lib*/libwidget.so.2" "64 K Map<int,Widget> /usr/lib*/libwidget.so.2"
build zembril-dh-gadget 1.0 libgadget.so.1 \
  "64 U com.example.Gadget /usr/lib*/libgadget.so.1" "64 U com.example.GadgetExtra /usr/lib*/libgadget.so.1"
build zembril-dh-gadget 2.0 libgadget.so.1 "64 U com.example.Gadget /usr/lib*/libgadget.so.1"
build zembril-dh-widget-clone 1.0 libclone.so "64 U com.example.Widget /usr/lib*/libclone.so"
[[ $(dpkg-deb -f "$work/packages/zembril-dh-widget_1.0_all.deb" Depends) == 'zembril (>= 1.2.0)' ]] ||
  fail "dh_zembril did not add the dependency on zembril"
[[ $(dpkg-deb --fsys-tarfile "$work/packages/zembril-dh-widget_1.0_all.deb" |
  tar -xOf - ./usr/share/zembril/declarations/zembril-dh-widget) == \
  $'64 U com.example.Widget /usr/lib*/libwidget.so.1\n64 K Map<int,Widget> /usr/lib*/libwidget.so.1' ]] ||
  fail "dh_zembril installed another declaration"
# A packager's mistake stops the build, naming the file and the line.
if build_declaring zembril-dh-broken 1.0 libbroken.so "64 U com.example.Broken"; then
  fail "dh_zembril took a line of three fields"
fi
grep -q 'debian/zembril-dh-broken.zembril:2: expected 4 fields' "$work/output" ||
  fail "dh_zembril's error names no file and line: $(tail -3 "$work/output")"

step "declarations: an administrator's binding, then three declaring packages in one dpkg -i"
zembril /x64 /U /add com.admin.Tool /opt/tool.so || fail "zembril exited with $?"
# Each zembril program that a maintainer script starts leaves a line.
mkdir "$work/counting"
for program in /usr/bin/zembril /usr/sbin/zembril-sync; do
  printf '#!/bin/sh\necho %s >>%s\nexec %s "$@"\n' "${program##*/}" "$work/runs" "$program" \
    >"$work/counting/${program##*/}"
  chmod 755 "$work/counting/${program##*/}"
done
: >"$work/runs"
PATH=$work/counting:$PATH quiet dpkg -i "$work/packages/zembril-dh-widget_1.0_all.deb" \
  "$work/packages/zembril-dh-gadget_1.0_all.deb" "$work/packages/zembril-dh-widget-clone_1.0_all.deb"
[[ $(cat "$work/runs") == zembril-sync ]] || fail "one dpkg -i made these runs: [$(cat "$work/runs")]"
echo "    one dpkg -i of three declaring packages: $(wc -l <"$work/runs") zembril run"
grep -qx 'zembril-sync: 64-bit U map: com.example.Widget stays bound to /usr/lib64/libwidget.so.1, as zembril-dh-widget declares; zembril-dh-widget-clone declares /usr/lib64/libclone.so' "$work/output" ||
  fail "no line on the class that two packages declare: $(cat "$work/output")"
admin="U com.admin.Tool /opt/tool.so"
gadget="U com.example.Gadget /usr/lib64/libgadget.so.1"
expect_map "$admin" "$gadget" "U com.example.GadgetExtra /usr/lib64/libgadget.so.1" \
  "U com.example.Widget /usr/lib64/libwidget.so.1" "K Map<int,Widget> /usr/lib64/libwidget.so.1"
quiet dpkg-reconfigure zembril
expect_map "$admin" "$gadget" "U com.example.GadgetExtra /usr/lib64/libgadget.so.1" \
  "U com.example.Widget /usr/lib64/libwidget.so.1" "K Map<int,Widget> /usr/lib64/libwidget.so.1"

step "declarations: upgrade to a new soname and to a version without a class, remove, purge"
quiet dpkg -i "$work/packages/zembril-dh-widget_2.0_all.deb" "$work/packages/zembril-dh-gadget_2.0_all.deb"
expect_map "$admin" "$gadget" \
  "U com.example.Widget /usr/lib64/libwidget.so.2" "K Map<int,Widget> /usr/lib64/libwidget.so.2"
# The holder goes: the clone's declaration takes the class over.
quiet dpkg -r zembril-dh-widget
expect_map "$admin" "$gadget" "U com.example.Widget /usr/lib64/libclone.so"
quiet dpkg -P zembril-dh-widget zembril-dh-widget-clone zembril-dh-gadget
expect_map "$admin"
[[ ! -s /var/lib/zembril/declared64 ]] || fail "the record still holds: $(cat /var/lib/zembril/declared64)"
zembril /x64 /U /delete com.admin.Tool || fail "zembril exited with $?"
