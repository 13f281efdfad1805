#!/usr/bin/env bash
# run.sh [--skip-lint]: the package, its documents and the maintainer
# recipes: lints the man pages, the shell scripts and dh_zembril
# (tests/lint.sh, which --skip-lint leaves out), tests the bash completion,
# builds the Debian package from a copy of the tree and checks its contents
# with dpkg-deb and lintian, then has dpkg install, upgrade and remove it and
# the example packages in a private mount namespace (dpkg-test.sh); builds
# the rpm and pacman packages from packaging/ and has rpm --root and pacman
# --root do the same with them in throwaway roots (rpm-test.sh,
# pacman-test.sh). Needs root, and the packages that .ci/packages lists. The
# machine's own system is left as it was.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=tests/package

# The man pages, the shell scripts and dh_zembril's own checks, unless the
# caller has run them (tests/run-all.sh, first of all).
case ${1:-} in
  --skip-lint) ;;
  "") bash tests/lint.sh man shell debhelper ;;
  *) echo "usage: $0 [--skip-lint]" >&2; exit 2 ;;
esac

echo "-- bash completion"
bash "$here/completion.sh"

echo "-- Debian package"
work=$(mktemp -d /tmp/zembril-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A copy of the tree as it is, tracked and new files alike, without builds.
mkdir "$work/source"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [[ -e $file ]] && printf '%s\0' "$file"; done |
  tar --null -T - -cf - | tar -C "$work/source" -xf -
if ! (cd "$work/source" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log"
  exit 1
fi
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
deb=$work/zembril_${version}_$(dpkg --print-architecture).deb
dh_deb=$work/dh-zembril_${version}_all.deb
# Checks that DEB holds each PATH and nothing outside /usr/bin, /usr/sbin and /usr/share.
expect_contents() {
  local deb=$1 contents path
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "${@:2}"; do
    grep -qx "\./$path" <<<"$contents" || { echo "$deb lacks /$path"; exit 1; }
  done
  if grep -v -e '^\./$' -e '^\./usr/$' -e '^\./usr/s\?bin/' -e '^\./usr/share/' <<<"$contents"; then
    echo "$deb ships the files above outside /usr/bin, /usr/sbin and /usr/share"
    exit 1
  fi
  echo "$(basename "$deb"): $(grep -c -v '/$' <<<"$contents") files"
}
expect_contents "$deb" usr/bin/zembril usr/bin/zembril-dump usr/sbin/zembril-sync \
  usr/share/man/man8/zembril.8.gz usr/share/man/man8/zembril-dump.8.gz \
  usr/share/man/man8/zembril-sync.8.gz usr/share/bash-completion/completions/zembril \
  usr/share/bash-completion/completions/zembril-dump usr/share/doc/zembril/copyright \
  usr/share/doc/zembril/examples/register/postinst
expect_contents "$dh_deb" usr/bin/dh_zembril usr/share/man/man1/dh_zembril.1.gz \
  usr/share/perl5/Debian/Debhelper/Sequence/zembril.pm usr/share/doc/dh-zembril/examples/libwidget1.zembril
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || { echo "Depends lacks the shared libraries"; exit 1; }
dpkg-deb -f "$dh_deb" Provides | grep -qx 'dh-sequence-zembril' || { echo "dh-zembril provides no sequence"; exit 1; }
[[ $(dpkg-deb -f "$deb" Multi-Arch) == foreign ]] || { echo "zembril is not Multi-Arch: foreign"; exit 1; }
lintian --fail-on error,warning "$deb" "$dh_deb"
echo "lintian: no error, no warning"

echo "-- source install and uninstall"
cmake -S "$work/source" -B "$work/cmake" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/cmake" -j"$(nproc)" >/dev/null
DESTDIR=$work/root cmake --install "$work/cmake" >/dev/null
for path in usr/local/bin/zembril usr/local/bin/zembril-dump usr/local/sbin/zembril-sync \
  usr/local/share/man/man8/zembril.8 \
  usr/local/share/bash-completion/completions/zembril usr/local/tolvane/.mirtal/etc/; do
  [[ -e $work/root/$path ]] || { echo "the source install lacks /$path"; exit 1; }
done
touch "$work/root/usr/local/tolvane/.mirtal/etc/"{dravimap,dravimap.lock}
DESTDIR=$work/root cmake --build "$work/cmake" --target uninstall >/dev/null
left=$(find "$work/root" -type f | sort)
[[ $left == "$work/root/usr/local/tolvane/.mirtal/etc/dravimap"$'\n'"$work/root/usr/local/tolvane/.mirtal/etc/dravimap.lock" ]] ||
  { echo "uninstall left [$left], expected the map file and the lock file"; exit 1; }
rm "$work/root/usr/local/tolvane/.mirtal/etc/dravimap"
DESTDIR=$work/root cmake --build "$work/cmake" --target uninstall >/dev/null
[[ ! -e $work/root/usr/local/tolvane ]] ||
  { echo "uninstall left the map directory that held only the lock file"; exit 1; }
echo "cmake --install and the uninstall target: as expected"

echo "-- dpkg, in a private mount namespace"
before=$(dpkg -l | md5sum; ls -d /usr/bin/zembril* /usr/local/tolvane /etc/tolvane 2>/dev/null || true)
mkdir "$work/namespace"
unshare --mount --propagation private bash "$here/dpkg-test.sh" "$deb" "$dh_deb" "$work/namespace"
after=$(dpkg -l | md5sum; ls -d /usr/bin/zembril* /usr/local/tolvane /etc/tolvane 2>/dev/null || true)
[[ $before == "$after" ]] || { echo "the machine's own packages or map changed"; exit 1; }
echo "dpkg tests: passed; the machine's own system is unchanged"

echo "-- rpm and pacman: the packages, and a transaction history each in a throwaway root"
# What rpm and pacman know on this machine, and its map.
host_state() {
  ls -d ~/.rpmdb /var/lib/rpm/* /var/lib/pacman/* /usr/bin/zembril* /usr/local/tolvane /etc/tolvane 2>/dev/null || true
}
before=$(host_state)
# Side by side: each build's serial stretches leave the other the cores.
bash packaging/rpm/build.sh "$work/rpm" >"$work/rpm.log" 2>&1 &
rpm_build=$!
bash packaging/arch/build.sh "$work/arch" >"$work/arch.log" 2>&1 &
arch_build=$!
rpm_status=0 arch_status=0
wait "$rpm_build" || rpm_status=$?
wait "$arch_build" || arch_status=$?
[[ $rpm_status -eq 0 ]] || { tail -40 "$work/rpm.log"; exit 1; }
[[ $arch_status -eq 0 ]] || { tail -40 "$work/arch.log"; exit 1; }
# %check and check() ran the tests that need no root, and only those.
for log in "$work/rpm.log" "$work/arch.log"; do
  if ! grep -qx '100% tests passed, 0 tests failed out of [0-9]*' "$log" || grep -q 'Dump\.CheckSaysWhatIsWrong' "$log"; then
    echo "the build's check ran not the tests that need no root: $log"
    exit 1
  fi
done
echo "%check and check(): the tests that need no root passed"
# rpm makes a database in ~/.rpmdb, on Debian, wherever it looks.
HOME=$work rpmlint -r "$here/rpmlintrc" "$work/rpm"/*.rpm >"$work/rpmlint.log" 2>&1 || true
grep -q ' 0 errors, 0 warnings' "$work/rpmlint.log" || { cat "$work/rpmlint.log"; exit 1; }
echo "rpmlint: no error, no warning"
# Each distribution's zembril takes libstdc++ from the system, as their
# policies ask; only a source build links it in.
for package in "$deb" "$work"/rpm/zembril-[0-9]*.rpm "$work"/arch/zembril-[0-9]*.pkg.tar.zst; do
  rm -rf "$work/unpacked" && mkdir "$work/unpacked"
  case $package in
    *.deb) dpkg-deb -x "$package" "$work/unpacked" ;;
    *) bsdtar -C "$work/unpacked" -xf "$package" ;;
  esac
  readelf -d "$work/unpacked/usr/bin/zembril" | grep -q 'NEEDED.*\[libstdc++\.so\.6\]' ||
    { echo "$(basename "$package"): zembril has libstdc++ linked in"; exit 1; }
done
echo "the packages' zembril: libstdc++ from the system"
mkdir "$work/rpm-namespace" "$work/pacman-namespace"
unshare --mount --propagation private bash "$here/rpm-test.sh" "$work/rpm" "$work/rpm-namespace"
unshare --mount --propagation private bash "$here/pacman-test.sh" "$work/arch" "$work/pacman-namespace"
[[ $(host_state) == "$before" ]] || { echo "the machine's own package databases or map changed"; exit 1; }
echo "rpm and pacman tests: passed; the machine's own system is unchanged"
