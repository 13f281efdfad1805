#!/usr/bin/env bash
# build.sh OUTDIR: builds the rpms of zembril from this checkout into
# OUTDIR: zembril-VERSION-RELEASE.ARCH.rpm, zembril-rpm-macros-...noarch.rpm,
# the debuginfo packages where rpm makes them, and in OUTDIR/source the
# source rpm and the release tarball with its sum (see source-tarball.sh:
# the version of a checkout with changes names its tree). %check runs the
# tests. Further arguments go to rpmbuild.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 OUTDIR [RPMBUILD-OPTION...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1/source"
out=$(cd "$1" && pwd)
top=$(mktemp -d "${TMPDIR:-/tmp}/zembril-rpmbuild.XXXXXX")
trap 'rm -rf "$top"' EXIT

version=$(bash "$here/../source-tarball.sh" "$top/SOURCES")
packaged_version=$(sed -n 's/^Version: *//p' "$here/zembril.spec")
[[ $version == "$packaged_version" || $version == "$packaged_version".dirty.* ]] ||
  { echo "$0: zembril.spec is at version $packaged_version, CMakeLists.txt at $version" >&2; exit 1; }
mkdir "$top/recipe"
sed "s/^Version: .*/Version:        $version/" "$here/zembril.spec" >"$top/recipe/zembril.spec"
cp "$top/SOURCES/zembril-$version.tar.gz" "$out/source/"
(cd "$out/source" && sha256sum "zembril-$version.tar.gz" >"zembril-$version.tar.gz.sha256")
# Where rpm does not manage the system's packages (rpm on Debian), its
# database knows none of the build dependencies.
options=()
dbpath=$(rpm --eval '%{_dbpath}')
if [[ ! -d $dbpath ]] || ! rpm -q --quiet rpm; then options+=(--nodeps); fi
rpmbuild -ba "${options[@]}" --define "_topdir $top" --define "_rpmdir $out" --define "_srcrpmdir $out/source" \
  --define '_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm' "${@:2}" "$top/recipe/zembril.spec" 2>&1 |
  tee "$top/build.log"
# rpmbuild 4.18 reports a Lua scriptlet that does not compile, leaves the
# scriptlet out and still succeeds.
if grep '^error: ' "$top/build.log" >&2; then
  echo "$0: rpmbuild reported the errors above" >&2
  exit 1
fi
