# shellcheck shell=bash
# offline-root.sh: sourced by dpkg-test.sh once the package and the examples'
# packages are built and zembril is installed on the (namespaced) host. Does
# what image builders do: installs into an empty dpkg database in a
# directory with dpkg --root=DIR --force-script-chrootless, which runs the
# maintainer scripts on the host with DPKG_ROOT=DIR. After each step the
# image's map is as expected and the host's map, packages and files are
# exactly as before. Needs the packages that declarations.sh built. Uses
# dpkg-test.sh's fail, step, quiet, expect_map,
# $deb, $work, $map_directory, $record and $image.

: "${work:?}" "${deb:?}" "${map_directory:?}" "${record:?}"
image=$work/image
# An empty dpkg database, and /usr/local as base-files would make it.
mkdir -p "$image/var/lib/dpkg/info" "$image/var/lib/dpkg/updates" "$image/usr/local"
touch "$image/var/lib/dpkg/status"

host_state() {
  dpkg -l | md5sum
  find /usr/local /etc/tolvane /var/lib/zembril -printf '%p %y %m %s %T@\n' 2>/dev/null | sort | md5sum
  cat "$map_directory"/dravimap* 2>/dev/null | md5sum
}
host_before=$(host_state)
offline() { quiet dpkg --root="$image" --force-script-chrootless "$@"; }
# Empty packages in the place of the libraries zembril depends on, as the
# image's first packages would be, so that dpkg configures zembril there
# and runs its trigger.
for library in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | awk '{print $1}'); do
  mkdir -p "$work/standin/DEBIAN"
  printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: %s\nDescription: %s\n' "$library" \
    "$(dpkg-query -W -f='${Version}' "$library")" "$(dpkg --print-architecture)" \
    'The zembril authors <zembril@example.org>' 'stand-in for the tests' >"$work/standin/DEBIAN/control"
  quiet dpkg-deb --root-owner-group --build "$work/standin" "$work/packages/standin-$library.deb"
  rm -r "$work/standin"
  offline -i "$work/packages/standin-$library.deb"
done
# Runs PACKAGE's installed postinst with "configure", as dpkg-reconfigure
# would; dpkg-reconfigure itself knows no root.
reconfigure() {
  local version
  version=$(dpkg-query --admindir="$image/var/lib/dpkg" -W -f='${Version}' "$1")
  quiet env DPKG_ROOT="$image" DPKG_MAINTSCRIPT_PACKAGE="$1" DPKG_MAINTSCRIPT_NAME=postinst \
    "$image/var/lib/dpkg/info/$1.postinst" configure "$version"
}
# Each step: the image's expected map, then the host as it was.
expect_image_map() {
  expect_map "$@"
  [[ $(host_state) == "$host_before" ]] || fail "the host's packages, files or map changed"
}

step "offline root: install zembril and the register pair into an image"
offline -i "$deb"
[[ $(stat -c '%a %U' "$image"/usr/local/tolvane{,/.mirtal,/.mirtal/etc}) == $'755 root\n755 root\n755 root' ]] ||
  fail "the postinst did not make the image's map directory"
[[ $(cat "$image$record") == $'/usr/local/tolvane\n/usr/local/tolvane/.mirtal\n'"$map_directory" ]] ||
  fail "the image's record holds [$(cat "$image$record")]"
expect_image_map
offline -i "$work/packages/zembril-test-widget_1.0.deb"
widget=("U com.example.Widget /usr/lib64/libwidget.so.1" "K Map<int,Widget> /usr/lib64/libwidget.so.1")
expect_image_map "${widget[@]}"
reconfigure zembril-test-widget
expect_image_map "${widget[@]}"
offline -i "$work/packages/zembril-test-widget_2.0.deb"
widget=("${widget[@]//so.1/so.2}")
expect_image_map "${widget[@]}"

step "offline root: remove it; three declaring packages, upgraded and removed; purge zembril"
offline -r zembril-test-widget
expect_image_map
# Declaring packages: one dpkg -i of three, an upgrade to a new soname, the
# holder of a class removed so that the clone takes it over.
offline -i "$work/packages/zembril-dh-widget_1.0_all.deb" "$work/packages/zembril-dh-gadget_1.0_all.deb" \
  "$work/packages/zembril-dh-widget-clone_1.0_all.deb"
expect_image_map "U com.example.Gadget /usr/lib64/libgadget.so.1" \
  "U com.example.GadgetExtra /usr/lib64/libgadget.so.1" "U com.example.Widget /usr/lib64/libwidget.so.1" \
  "K Map<int,Widget> /usr/lib64/libwidget.so.1"
offline -i "$work/packages/zembril-dh-widget_2.0_all.deb" "$work/packages/zembril-dh-gadget_2.0_all.deb"
expect_image_map "U com.example.Gadget /usr/lib64/libgadget.so.1" \
  "U com.example.Widget /usr/lib64/libwidget.so.2" "K Map<int,Widget> /usr/lib64/libwidget.so.2"
offline -r zembril-dh-widget
expect_image_map "U com.example.Gadget /usr/lib64/libgadget.so.1" "U com.example.Widget /usr/lib64/libclone.so"
offline -P zembril-dh-widget zembril-dh-widget-clone zembril-dh-gadget
expect_image_map
offline -P zembril-test-widget zembril
[[ ! -e $image/usr/local/tolvane && ! -e $image/var/lib/zembril && -d $image/usr/local ]] ||
  fail "purging zembril in the image left [$(find "$image/usr/local" "$image/var/lib/zembril" 2>&1)]"
[[ $(host_state) == "$host_before" ]] || fail "the host's packages, files or map changed"
image=
