#!/usr/bin/env bash
# rpm-test.sh RPMS WORK: has rpm --root install, upgrade and erase the
# zembril rpms that packaging/rpm/build.sh wrote to RPMS, and a library
# whose classes %zembril_install_declaration declares, in the throwaway
# root of system-root.sh; after each transaction the root's map is as
# expected and zembril-sync ran as often as expected. run.sh starts it in a
# private mount namespace; WORK is an empty scratch directory.
set -euo pipefail
rpms=$(cd "$1" && pwd)
work=$2
# shellcheck source=tests/package/system-root.sh
source "$(dirname "$0")/system-root.sh"

zembril_rpm=$(echo "$rpms"/zembril-[0-9]*.rpm)
macros_rpm=$(echo "$rpms"/zembril-rpm-macros-[0-9]*.noarch.rpm)
[[ -f $zembril_rpm && -f $macros_rpm ]] || fail "$rpms holds no zembril and zembril-rpm-macros rpm"
# Debian's rpm keeps its database in ~/.rpmdb; an rpm system's is here.
rpm_root=(rpm --root "$root" --define '_dbpath /var/lib/rpm')
build() { quiet chroot "$root" rpmbuild -bb --define '_topdir /build' --define '_dbpath /var/lib/rpm' "$@"; }

step "rpm: an empty database; the system's libraries as a stand-in; zembril-rpm-macros"
mkdir -p "$root/build/SOURCES"
{
  printf '%s\n' 'Name: system-libraries' 'Version: 1' 'Release: 1' 'Summary: stand-in for the tests' \
    'License: MIT' 'BuildArch: noarch'
  rpm -qp --requires "$zembril_rpm" "$macros_rpm" | grep -v -e '^rpmlib(' -e '^zembril' | sed 's/^/Provides: /'
  printf '%s\n' '%description' 'What the root has and its rpm database does not know.' '%files'
} >"$root/build/system-libraries.spec"
build /build/system-libraries.spec
quiet "${rpm_root[@]}" --initdb
transaction 0 "${rpm_root[@]}" -i "$root/build/RPMS/noarch/system-libraries-1-1.noarch.rpm" "$macros_rpm"

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
libWidget|64 U com.example.Widget /l.so|no declaration named "libWidget"
END
printf '# Nothing yet\n\n' >"$work/declaration"
"$install_declaration" "$work/declaration" "$work/installed/libwidget" ||
  fail "zembril-install-declaration took a declaration of nothing for an error"
[[ ! -e $work/installed/libwidget ]] || fail "zembril-install-declaration installed a declaration of nothing"

step "rpm: libwidget 1 and 2, declared with %zembril_install_declaration"
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
%{zembril_declarationsdir}/%{name}
END
for version in 1 2; do
  declaration "$version" >"$root/build/SOURCES/libwidget.zembril"
  build --define "widget $version" /build/libwidget.spec
done
widget_rpm=$root/build/RPMS/noarch/libwidget
rpm -qp --requires "$widget_rpm-1-1.noarch.rpm" | grep -qx 'zembril >= 1.2.0' ||
  fail "libwidget does not require zembril: $(rpm -qp --requires "$widget_rpm-1-1.noarch.rpm")"

step "rpm: zembril alone, then erased with nothing but the lock file in the map directory"
transaction 0 "${rpm_root[@]}" -i "$zembril_rpm"
expect_made_directories
chroot "$root" zembril /x64 /U /list || fail "zembril exited with $?"
[[ $(ls -A "$root$map_directory") == dravimap.lock ]] || fail "the map directory holds [$(ls -A "$root$map_directory")]"
transaction 0 "${rpm_root[@]}" -e zembril
[[ -d $root/usr/local && ! -e $root/usr/local/tolvane && ! -e $root/var/lib/zembril ]] ||
  fail "the erase left [$(find "$root/usr/local" "$root/var/lib/zembril" 2>&1)]"

step "rpm: zembril and libwidget 1 in one transaction"
transaction 1 "${rpm_root[@]}" -i "$zembril_rpm" "$widget_rpm-1-1.noarch.rpm"
expect_made_directories
expect_map "${widget1[@]}"
[[ $(cat "$root/usr/share/zembril/declarations/libwidget") == \
  $'64 U com.example.Widget /usr/lib*/libwidget.so.1\n64 U com.example.WidgetExtra /usr/lib*/libwidget.so.1\n64 K Map<int,Widget> /usr/lib*/libwidget.so.1' ]] ||
  fail "%zembril_install_declaration installed [$(cat "$root/usr/share/zembril/declarations/libwidget")]"

step "rpm: upgrade to libwidget 2, a new soname without WidgetExtra"
transaction 1 "${rpm_root[@]}" -U "$widget_rpm-2-1.noarch.rpm"
expect_map "${widget2[@]}"

step "rpm: an administrator's binding, then erase libwidget"
chroot "$root" zembril /x64 /U /add com.admin.Tool /opt/tool.so || fail "zembril exited with $?"
expect_map "$admin" "${widget2[@]}"
transaction 1 "${rpm_root[@]}" -e libwidget
expect_map "$admin"

step "rpm: erase zembril; the map and its directory stay"
transaction 0 "${rpm_root[@]}" -e zembril
[[ -s $root$map_directory/dravimap64 && ! -e $root/var/lib/zembril ]] ||
  fail "the erase took the map or left [$(ls -A "$root/var/lib/zembril")]"
