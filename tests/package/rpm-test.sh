#!/usr/bin/env bash
# rpm-test.sh RPMS WORK: checks %zembril_install_declaration, then has rpm
# --root go through the transaction history of system-root.sh with the
# zembril rpms that packaging/rpm/build.sh wrote to RPMS and a library
# whose classes the macro declares. run.sh starts it in a private mount
# namespace; WORK is an empty scratch directory.
set -euo pipefail
rpms=$(cd "$1" && pwd)
work=$2
# shellcheck source=tests/package/system-root.sh
source "$(dirname "$0")/system-root.sh"

zembril_package=$(echo "$rpms"/zembril-[0-9]*.rpm)
macros_rpm=$(echo "$rpms"/zembril-rpm-macros-[0-9]*.noarch.rpm)
[[ -f $zembril_package && -f $macros_rpm ]] || fail "$rpms holds no zembril and zembril-rpm-macros rpm"
# Debian's rpm keeps its database in ~/.rpmdb; an rpm system's is here. The
# root's empty database knows nothing of the libraries it has.
rpm_root=(rpm --root "$root" --define '_dbpath /var/lib/rpm')
build() { quiet chroot "$root" rpmbuild -bb --define '_topdir /build' --nodeps "$@"; }

step "rpm: an empty database; zembril-rpm-macros"
quiet "${rpm_root[@]}" --initdb
transaction 0 "${rpm_root[@]}" -i --nodeps "$macros_rpm"

step "rpm: %zembril_install_declaration stops at a line that does not fit"
install_declaration=$root/usr/lib/rpm/zembril-install-declaration
# Each case: the package, the line after a comment, what the error says.
while IFS='|' read -r package line error; do
  printf '# Broken\n%b\n' "$line" >"$work/declaration"
  if "$install_declaration" "$work/declaration" "$work/installed/$package" 2>"$work/output"; then
    fail "zembril-install-declaration took [$line] for $package"
  fi
  grep -qF "$error" "$work/output" || fail "for [$line]: $(cat "$work/output"), expected $error"
  [[ ! -e $work/installed/$package ]] || fail "zembril-install-declaration installed [$line]"
done <<'END'
libwidget|64 U com.example.Widget|/declaration:2: expected 4 fields (map, scope, class, library), found 3
libwidget|64 U com.example.Widget /l.so # note|/declaration:2: expected 4 fields (map, scope, class, library), found 6
libwidget|16 U com.example.Widget /l.so|/declaration:2: the map must be 32 or 64, not "16"
libwidget|64 u com.example.Widget /l.so|/declaration:2: the scope must be U or K, not "u"
libwidget|64 U com.example.Widget l.so|/declaration:2: the library must be an absolute path, not "l.so"
libwidget|64 K A /a.so\n32 K A /a.so\n64 K A /b.so|/declaration:4: K A of the 64-bit map is declared twice (lines 2 and 4)
lib%widget|64 U com.example.Widget /l.so|no declaration named "lib%widget"
libwidget.orig|64 U com.example.Widget /l.so|no declaration named "libwidget.orig"
libwidget|64 U com.example.Widget /l.so\r|/declaration:2: the library must hold no control byte and no byte order mark: "/l.so\x0d"
libwidget|64 U com.example.W\0000idget /l.so|/declaration: holds a NUL byte
END
printf '# Nothing yet\n\n' >"$work/declaration"
"$install_declaration" "$work/declaration" "$work/installed/libwidget" ||
  fail "zembril-install-declaration took a declaration of nothing for an error"
[[ ! -e $work/installed/libwidget ]] || fail "zembril-install-declaration installed a declaration of nothing"

step "rpm: libwidget 1 and 2, declared with %zembril_install_declaration"
mkdir -p "$root/build/SOURCES"
cat >"$root/build/libwidget.spec" <<'END'
Name: libwidget
Version: %{widget}
Release: 1
Summary: example for the zembril package tests
License: MIT
BuildArch: noarch
BuildRequires: zembril-rpm-macros
Source1: libwidget.zembril
%description
Its classes are declared for zembril.
%install
mkdir -p %{buildroot}/usr/lib64
touch %{buildroot}/usr/lib64/libwidget.so.%{widget}
%zembril_install_declaration %{SOURCE1}
%files
/usr/lib64/libwidget.so.%{widget}
%zembril_declaration
END
for version in 1 2; do
  declaration "$version" >"$root/build/SOURCES/libwidget.zembril"
  build --define "widget $version" /build/libwidget.spec
done
widget1_package=$root/build/RPMS/noarch/libwidget-1-1.noarch.rpm
widget2_package=$root/build/RPMS/noarch/libwidget-2-1.noarch.rpm
"${rpm_root[@]}" -qp --requires "$widget1_package" | grep -qx 'zembril >= 1.2.0' ||
  fail "libwidget does not require zembril: $("${rpm_root[@]}" -qp --requires "$widget1_package")"
[[ $(rpm2cpio "$widget1_package" | bsdtar -xOf - ./usr/share/zembril/declarations/libwidget) == \
  $'64 U com.example.Widget /usr/lib*/libwidget.so.1\n64 U com.example.WidgetExtra /usr/lib*/libwidget.so.1\n64 K Map<int,Widget> /usr/lib*/libwidget.so.1' ]] ||
  fail "%zembril_install_declaration installed another declaration"

install=("${rpm_root[@]}" -i --nodeps)
upgrade=("${rpm_root[@]}" -U --nodeps)
erase=("${rpm_root[@]}" -e --nodeps)
history rpm 0

step "rpm: the x86_64 and i686 instances of libmulti in one transaction, and a name with each mark rpm allows"
cat >"$root/build/libmulti.spec" <<'END'
Name: libmulti
Version: 1
Release: 1
Summary: example for the zembril package tests
License: MIT
BuildRequires: zembril-rpm-macros
%description
Its classes are declared for zembril, in the map of its architecture.
%install
mkdir -p %{buildroot}%{_libdir}
touch %{buildroot}%{_libdir}/libmulti.so.1
echo '%{__isa_bits} U com.example.Multi %{_libdir}/libmulti.so.1' >libmulti.zembril
%zembril_install_declaration libmulti.zembril
%files
%{_libdir}/libmulti.so.1
%zembril_declaration
END
build --target x86_64 /build/libmulti.spec
build --target i686 /build/libmulti.spec
sed 's/^Name: .*/Name: Lib_Gadget.x+1/' "$root/build/libwidget.spec" >"$root/build/gadget.spec"
declaration 1 | grep -v 'WidgetExtra\|Map<' | sed 's/Widget/Gadget/' >"$root/build/SOURCES/libwidget.zembril"
build --define "widget 1" /build/gadget.spec
gadget_package=$root/build/RPMS/noarch/Lib_Gadget.x+1-1-1.noarch.rpm
# A file that no package could have made, which zembril-sync names once.
declarations=$root/usr/share/zembril/declarations
mkdir -p "$declarations"
echo '64 U com.example.Foreign /foreign.so' >"$declarations/lib%foreign"
transaction 1 "${install[@]}" --ignorearch "$zembril_package" "$gadget_package" \
  "$root"/build/RPMS/{x86_64/libmulti-1-1.x86_64.rpm,i686/libmulti-1-1.i686.rpm}
[[ $(LC_ALL=C ls "$declarations") == $'Lib_Gadget.x+1\nlib%foreign\nlibmulti:i686\nlibmulti:x86_64' ]] ||
  fail "the declarations are [$(ls "$declarations")]"
[[ $(grep 'passed over' "$work/output") == \
  "zembril-sync: /usr/share/zembril/declarations/lib%foreign: passed over: no package can have this name" ]] ||
  fail "the file no package has was not named once: $(cat "$work/output")"
expect_map "$admin" "U com.example.Gadget /usr/lib64/libwidget.so.1" "U com.example.Multi /usr/lib64/libmulti.so.1"
[[ $(chroot "$root" zembril-dump) == $'U\tcom.example.Multi\t/usr/lib/libmulti.so.1' ]] ||
  fail "the 32-bit map holds [$(chroot "$root" zembril-dump)]"
transaction 1 "${erase[@]}" libmulti.i686
[[ -z $(chroot "$root" zembril-dump) ]] || fail "erasing the i686 instance left [$(chroot "$root" zembril-dump)]"
expect_map "$admin" "U com.example.Gadget /usr/lib64/libwidget.so.1" "U com.example.Multi /usr/lib64/libmulti.so.1"

step "rpm: zembril owns the directories it makes outside /usr/local, and none there"
for directory in /usr/share/zembril /usr/share/zembril/declarations /var/lib/zembril /usr/share/doc/zembril/examples; do
  [[ $("${rpm_root[@]}" -qf --qf '%{NAME}\n' "$directory") == zembril ]] || fail "rpm -qf $directory: not zembril's"
done
! "${rpm_root[@]}" -qf "$map_directory" >/dev/null 2>&1 || fail "a package owns $map_directory"
