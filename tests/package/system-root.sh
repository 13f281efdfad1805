# shellcheck shell=bash disable=SC2034,SC2154  # shares variables with the scripts that source it
# system-root.sh: sourced by rpm-test.sh and pacman-test.sh, which run.sh
# starts in a private mount namespace. Lays the throwaway overlays of
# overlays.sh, as dpkg-test.sh does, so that the machine's own system never
# changes, and makes $root: a copy-on-write
# view of the machine's files without zembril, a map or a package database,
# in which rpm --root and pacman --root run the scriptlets and hooks
# chrooted. Then the declaring library and the transaction history that
# both package managers go through, and their helpers. Needs $work, an
# empty scratch directory.

# shellcheck source=tests/package/overlays.sh
source "${BASH_SOURCE[0]%/*}/overlays.sh"
# The lower layer is the file system under /, without the overlays above.
root=$work/root
mkdir -p "$root" "$work/system/upper" "$work/system/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/system/upper,workdir=$work/system/work" "$root"
mountpoint -q "$root"
rm -rf "${root:?}"/{usr/local/tolvane,etc/tolvane,var/lib/zembril,usr/share/zembril,var/lib/rpm,var/lib/pacman}
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mkdir "$work/tmp"
export TMPDIR=$work/tmp PATH=/usr/sbin:/usr/bin:/sbin:/bin

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
step() { echo "  $*"; }
quiet() { "$@" >"$work/output" 2>&1 || { cat "$work/output"; fail "$*"; }; }

# Runs the package manager's command, quietly, and checks that it ran
# zembril-sync RUNS times: every program started in the root is traced.
transaction() {
  local runs=$1 counted
  quiet strace -f -qq --seccomp-bpf -e trace=execve -e signal=none -o "$work/trace" "${@:2}"
  counted=$(grep 'execve("[^"]*/zembril-sync"' "$work/trace" | grep -cv ' = -1 ' || true)
  [[ $counted == "$runs" ]] || fail "${*:2} ran zembril-sync $counted times, expected $runs"
}

# Checks that the root's 64-bit map holds exactly the given bindings, one
# per argument as "SCOPE CLASS LIBRARY", in zembril-dump's order, and that
# no scriptlet made the map directory outside the root.
expect_map() {
  local want="" binding got
  for binding in "$@"; do want+=$(tr ' ' '\t' <<<"$binding")$'\n'; done
  got=$(chroot "$root" zembril-dump --x64) || fail "zembril-dump --x64 exited with $?"
  [[ $got == "${want%$'\n'}" ]] || fail "the map holds [$got], expected [${want%$'\n'}]"
  [[ -z $(ls -A /usr/local) ]] || fail "a scriptlet ran outside the root"
}

map_directory=/usr/local/tolvane/.mirtal/etc
# Checks that the scriptlets made the map directory and its parents, 0755,
# and recorded them, where the Debian package does.
expect_made_directories() {
  [[ $(stat -c '%a %U' "$root"/usr/local/tolvane{,/.mirtal,/.mirtal/etc}) == $'755 root\n755 root\n755 root' ]] ||
    fail "the map directory and its parents were not made, 0755"
  [[ $(cat "$root/var/lib/zembril/created-directories") == \
    $'/usr/local/tolvane\n/usr/local/tolvane/.mirtal\n'"$map_directory" ]] ||
    fail "the record holds [$(cat "$root/var/lib/zembril/created-directories")]"
}

# libwidget, at versions 1 and 2: the same declaration for every package
# manager. Version 2 has a new soname and no longer declares WidgetExtra.
declaration() {
  printf '# The classes of libwidget\n'
  printf '64 U com.example.Widget\t/usr/lib*/libwidget.so.%s\n' "$1"
  [[ $1 == 2 ]] || printf '  64 U  com.example.WidgetExtra  /usr/lib*/libwidget.so.%s\n' "$1"
  printf '\n64 K Map<int,Widget> /usr/lib*/libwidget.so.%s\n' "$1"
}
widget1=("U com.example.Widget /usr/lib64/libwidget.so.1" "U com.example.WidgetExtra /usr/lib64/libwidget.so.1"
  "K Map<int,Widget> /usr/lib64/libwidget.so.1")
widget2=("U com.example.Widget /usr/lib64/libwidget.so.2" "K Map<int,Widget> /usr/lib64/libwidget.so.2")
admin="U com.admin.Tool /opt/tool.so"

# The transaction history, for the package manager NAME, with the commands
# in the arrays install, upgrade and erase (which take package files or
# names) and the packages in zembril_package, widget1_package and
# widget2_package. zembril installed alone runs zembril-sync RUNS_ALONE
# times; every other transaction that adds, changes or removes a
# declaration, or removes zembril, runs it once.
history() {
  local name=$1 runs_alone=$2
  step "$name: zembril alone, then gone with nothing but the lock file in the map directory"
  transaction "$runs_alone" "${install[@]}" "$zembril_package"
  expect_made_directories
  chroot "$root" zembril /x64 /U /list || fail "zembril exited with $?"
  [[ $(ls -A "$root$map_directory") == dravimap.lock ]] || fail "the map directory holds [$(ls -A "$root$map_directory")]"
  transaction 1 "${erase[@]}" zembril
  [[ -d $root/usr/local && ! -e $root/usr/local/tolvane && ! -e $root/var/lib/zembril ]] ||
    fail "zembril left [$(find "$root/usr/local" "$root/var/lib/zembril" 2>&1)]"

  step "$name: zembril and libwidget 1 in one transaction"
  transaction 1 "${install[@]}" "$zembril_package" "$widget1_package"
  expect_made_directories
  expect_map "${widget1[@]}"

  step "$name: upgrade to libwidget 2, a new soname without WidgetExtra"
  transaction 1 "${upgrade[@]}" "$widget2_package"
  expect_map "${widget2[@]}"

  step "$name: an administrator's binding, then libwidget goes"
  chroot "$root" zembril /x64 /U /add com.admin.Tool /opt/tool.so || fail "zembril exited with $?"
  expect_map "$admin" "${widget2[@]}"
  transaction 1 "${erase[@]}" libwidget
  expect_map "$admin"

  step "$name: libwidget 1 and zembril go in one transaction; the map and its directory stay"
  transaction 1 "${install[@]}" "$widget1_package"
  expect_map "$admin" "${widget1[@]}"
  # zembril-dump goes with zembril: a copy of it reads the root's map after.
  cp "$root/usr/bin/zembril-dump" "$work/zembril-dump"
  transaction 1 "${erase[@]}" libwidget zembril
  [[ $("$work/zembril-dump" --root="$root" --x64) == "$(tr ' ' '\t' <<<"$admin")" ]] ||
    fail "the map holds [$("$work/zembril-dump" --root="$root" --x64)], expected [$admin]"
  [[ -s $root$map_directory/dravimap64 && ! -e $root/var/lib/zembril ]] ||
    fail "zembril took the map or left [$(ls -A "$root/var/lib/zembril")]"
}
