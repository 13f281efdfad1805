# shellcheck shell=bash
# declarations.sh: sourced by dpkg-test.sh once zembril is installed and the
# map holds no declared binding. Installs dh-zembril, builds three packages
# whose bindings dh_zembril declares (two of their own, and a clone of one
# class of another) and has dpkg install, reconfigure, upgrade, remove and
# purge them, around an administrator's binding that must outlive it all;
# then a broken declaration of the administrator's beside them, the
# administrator's unbind of a declared class, the amd64 and i386 instances
# of one Multi-Arch: same package, and zembril purged and installed again
# under them. Uses dpkg-test.sh's fail, step, quiet, expect_map, $deb,
# $dh_deb, $examples and $work.

: "${work:?}" "${deb:?}" "${dh_deb:?}" "${examples:?}" "${map_directory:?}"
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
# Builds libmulti1 1.0 for the architecture ARCH: Architecture: any,
# Multi-Arch: same, declaring its classes with the declaration of
# examples/declared, whose map and library follow the architecture.
build_multiarch() {
  local arch=$1 source=$work/source/libmulti-$1
  mkdir -p "$source/debian" "$source/lib"
  sed -e 's/^Source: libwidget/Source: libmulti/' -e 's/^Package: libwidget1/Package: libmulti1/' \
    -e 's/^Maintainer: .*/Maintainer: The zembril authors <zembril@example.org>/' \
    "$examples/declared/control" >"$source/debian/control"
  cp "$examples/declared/libwidget1.zembril" "$source/debian/libmulti1.zembril"
  printf 'libmulti (1.0) unstable; urgency=medium\n\n  * Test.\n\n -- %s  %s\n' \
    'The zembril authors <zembril@example.org>' 'Wed, 09 Dec 2026 00:00:00 +0000' >"$source/debian/changelog"
  printf '#!/usr/bin/make -f\n%%:\n\tdh $@\n' >"$source/debian/rules"
  chmod 755 "$source/debian/rules"
  : >"$source/lib/libwidget.so.1"
  echo "lib/libwidget.so.1 usr/lib/\${DEB_HOST_MULTIARCH}" >"$source/debian/libmulti1.install"
  # Nothing is compiled, so no cross compiler is needed, nor its build dependencies.
  (cd "$source" && dpkg-buildpackage -us -uc -b -d -a "$arch") >"$work/output" 2>&1 ||
    { tail -20 "$work/output"; fail "dpkg-buildpackage of libmulti1 for $arch"; }
  mv "$work/source/libmulti1_1.0_$arch.deb" "$work/packages/"
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
[[ ! -e $map_directory/dravimap64.declared ]] || fail "the record still holds: $(cat "$map_directory/dravimap64.declared")"

declarations=/usr/share/zembril/declarations
widget1=("U com.example.Widget /usr/lib64/libwidget.so.1" "K Map<int,Widget> /usr/lib64/libwidget.so.1")
step "declarations: a broken file of the administrator's and a stray copy beside good ones"
# The library is there, so that zembril-sync has no missing one to report.
install -D -m 0644 /dev/null /usr/lib64/liblocal.so
printf '64 U com.admin.Local /usr/lib64/liblocal.so\r\n' >"$declarations/local-classes"
printf '64 U com.example.Stray /opt/stray.so\n' >"$declarations/zembril-dh-gadget.orig"
quiet dpkg -i "$work/packages/zembril-dh-widget_1.0_all.deb"
grep -qF "$declarations/local-classes:1: the library must hold no control byte and no byte order mark: \"/usr/lib64/liblocal.so\\x0d\"; the bindings it made stay as they are until it is fixed" "$work/output" ||
  fail "no line on the broken file: $(cat "$work/output")"
grep -qx "zembril-sync: $declarations/zembril-dh-gadget.orig: passed over: a copy that patch or an editor keeps aside" \
  "$work/output" || fail "no line on the stray copy: $(cat "$work/output")"
rm "$declarations/zembril-dh-gadget.orig"
[[ $(dpkg-query -W -f='${db:Status-Abbrev}' zembril) == 'ii ' ]] || fail "zembril is not configured"
expect_map "$admin" "${widget1[@]}"
printf '64 U com.admin.Local /usr/lib64/liblocal.so\n' >"$declarations/local-classes"
quiet zembril-sync
expect_map "U com.admin.Local /usr/lib64/liblocal.so" "$admin" "${widget1[@]}"

step "declarations: the administrator's unbind of a declared class sticks until it is handed back"
zembril /x64 /U /delete com.example.Widget || fail "zembril exited with $?"
quiet dpkg -i "$work/packages/zembril-dh-gadget_2.0_all.deb"
grep -qF 'com.example.Widget was unbound by hand' "$work/output" || fail "no line on the unbind: $(cat "$work/output")"
expect_map "U com.admin.Local /usr/lib64/liblocal.so" "$admin" "$gadget" "${widget1[1]}"
quiet dpkg-reconfigure zembril
[[ ! -s $work/output ]] || fail "a second run reported again: $(cat "$work/output")"
expect_map "U com.admin.Local /usr/lib64/liblocal.so" "$admin" "$gadget" "${widget1[1]}"
quiet zembril-sync --hand-back=com.example.Widget
expect_map "U com.admin.Local /usr/lib64/liblocal.so" "$admin" "$gadget" "${widget1[@]}"
rm "$declarations/local-classes"
quiet dpkg -P zembril-dh-widget zembril-dh-gadget
expect_map "$admin"

step "declarations: amd64 and i386 instances of one Multi-Arch: same package"
native=$(dpkg --print-architecture)
build_multiarch "$native"
build_multiarch i386
quiet dpkg --add-architecture i386
quiet dpkg -i "$work/packages/libmulti1_1.0_$native.deb" "$work/packages/libmulti1_1.0_i386.deb"
native_lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libwidget.so.1
multi=("U com.example.Widget $native_lib" "K Map<int,Widget> $native_lib")
expect_map "$admin" "${multi[@]}"
i386_lib=/usr/lib/i386-linux-gnu/libwidget.so.1
[[ $(zembril-dump) == "U	com.example.Widget	$i386_lib"$'\n'"K	Map<int,Widget>	$i386_lib" ]] ||
  fail "the 32-bit map holds [$(zembril-dump)]"
quiet dpkg -r libmulti1:i386
[[ -z $(zembril-dump) ]] || fail "removing the i386 instance left [$(zembril-dump)]"
expect_map "$admin" "${multi[@]}"

step "declarations: zembril purged and installed again; the declaring package's removal still unbinds"
quiet dpkg -P --force-depends zembril
quiet dpkg -i "$deb"
expect_map "$admin" "${multi[@]}"
quiet dpkg -P libmulti1
expect_map "$admin"
quiet dpkg --remove-architecture i386
zembril /x64 /U /delete com.admin.Tool || fail "zembril exited with $?"
