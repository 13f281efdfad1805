#!/usr/bin/env bash
# The collection as a fleet uses it: playbooks against three hosts, each a
# local connection with its own root, with the zembril and zembril-dump
# found on PATH. Needs root, for a read-only bind mount in a private mount
# namespace (it enters one itself). Arguments go to ansible-playbook.
set -euo pipefail
if [[ $(readlink /proc/self/ns/mnt) == "$(readlink /proc/1/ns/mnt)" ]]; then
  exec unshare --mount --propagation private bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/zembril-fleet.XXXXXX)
trap 'umount "$work/roots/gamma/usr/local/tolvane/.mirtal/etc" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
real_dump=$(command -v zembril-dump) || fail "no zembril-dump on PATH"
command -v zembril >/dev/null || fail "no zembril on PATH"
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0

for host in alpha beta gamma; do
  mkdir -p "$work/roots/$host/usr/local/tolvane/.mirtal/etc"
  zembril /root "$work/roots/$host" /x64 /U /add com.admin.Tool /opt/tool.so
  echo "$host ansible_connection=local zembril_root=$work/roots/$host"
done | sed -e '1i [fleet]' -e '$a [fleet:vars]\nansible_python_interpreter={{ ansible_playbook_python }}\nansible_pipelining=true' \
  >"$work/inventory"
playbook() { ansible-playbook -i "$work/inventory" "$@" >"$work/output" 2>&1 || true; }
# recap HOST: the PLAY RECAP counts of HOST, "ok=N changed=N ... failed=N".
recap() { sed -n "s/^$1 *: //p" "$work/output" | tr -s ' '; }
expect_recap() {
  local host want
  for host in alpha beta gamma; do
    want=$1
    [[ $host == gamma && -n ${2-} ]] && want=$2
    [[ $(recap "$host") == *"$want"* ]] || { cat "$work/output"; fail "$host's recap is not [$want]"; }
  done
}
map_of() { zembril-dump --root="$work/roots/$1" --x64; }
state() { find "$work/roots" -type f -printf '%p %s %T@\n' | sort; md5sum "$work"/roots/*/usr/local/tolvane/.mirtal/etc/dravimap64; }

playbook "$here/site.yml" "$@"
expect_recap "changed=2 unreachable=0 failed=0"
[[ $(map_of beta) == $'U\tcom.admin.Tool\t/opt/tool.so\nU\tcom.example.Gadget\t/usr/lib64/libgadget.so.1\nU\tcom.example.Widget\t/usr/lib64/libwidget.so.1\nK\tMap<int,Widget>\t/usr/lib64/libwidget.so.1' ]] ||
  fail "beta's map holds [$(map_of beta)]"
echo "install: 2 changed on each host; the administrator's binding stays"
playbook "$here/site.yml" "$@"
expect_recap "changed=0 unreachable=0 failed=0"
echo "the same again: 0 changed"

before=$(state)
playbook "$here/site.yml" --check --diff -e soname=2 "$@"
expect_recap "changed=1 unreachable=0 failed=0"
[[ $(state) == "$before" ]] || fail "check mode wrote"
{ grep -q $'^-U\tcom.example.Widget\t/usr/lib64/libwidget.so.1$' "$work/output" &&
  grep -q $'^+K\tMap<int,Widget>\t/usr/lib64/libwidget.so.2$' "$work/output"; } ||
  { cat "$work/output"; fail "no diff of the rebinding"; }
echo "check mode with diff: 1 changed on each host, nothing written, the diff one binding a line"

mount --bind "$work/roots/gamma/usr/local/tolvane/.mirtal/etc" "$work/roots/gamma/usr/local/tolvane/.mirtal/etc"
mount -o remount,bind,ro "$work/roots/gamma/usr/local/tolvane/.mirtal/etc"
gamma_before=$(map_of gamma)
playbook "$here/site.yml" -e soname=2 "$@"
expect_recap "changed=1 unreachable=0 failed=0" "changed=0 unreachable=0 failed=1"
{ grep -q '"status": -50204' "$work/output" && grep -q '"rc": 255' "$work/output" &&
  grep -q '"msg": "zembril failed: .*-- -50204: error: a file cannot be opened or created\.' "$work/output"; } ||
  { cat "$work/output"; fail "gamma's failure lacks zembril's status, exit status or their meaning"; }
[[ $(map_of gamma) == "$gamma_before" ]] || fail "gamma's map changed"
echo "rebinding with gamma's map directory read-only: alpha and beta changed, gamma failed alone with -50204, explained"
umount "$work/roots/gamma/usr/local/tolvane/.mirtal/etc"
playbook "$here/site.yml" -e soname=2 --limit gamma "$@"
[[ $(recap gamma) == *"changed=1 unreachable=0 failed=0"* ]] || { cat "$work/output"; fail "gamma's retry"; }

playbook "$here/change.yml" "$@"
expect_recap "changed=10 unreachable=0 failed=0"
[[ $(recap alpha) == *"ignored=7"* ]] || { cat "$work/output"; fail "alpha's refusals"; }
[[ $(zembril-dump --root="$work/roots/alpha") == $'U\tcom.example.Caf\\xe9\t/usr/lib32/libcaf\\xe9.so' ]] ||
  fail "alpha's 32-bit map holds [$(zembril-dump --root="$work/roots/alpha")]"
echo "removal, unbinding by library, exclusive, escaped names, names that are no UTF-8, bits as strings," \
  "a map directory behind a link inside the root, refused roots, names and uncarriable classes, and" \
  "zembril_info: as asserted"

# A zembril-dump that lets another run change the map right after the
# module's read: once for each "race" file put in a root.
mkdir "$work/race"
cat >"$work/race/zembril-dump" <<END
#!/bin/sh
"$real_dump" "\$@" || exit
for argument; do case \$argument in --root=*) root=\${argument#--root=} ;; esac; done
[ -f "\$root/race" ] || exit 0
commands=\$(cat "\$root/race") && rm "\$root/race" || exit
# shellcheck disable=SC2086
zembril /root "\$root" \$commands >&2
END
chmod +x "$work/race/zembril-dump"
PATH=$work/race:$PATH playbook "$here/race.yml" --limit alpha "$@"
[[ $(recap alpha) == *"changed=4 unreachable=0 failed=0 skipped=0 rescued=0 ignored=1"* ]] ||
  { cat "$work/output"; fail "the races"; }
echo "another run binding right after the read: the binding task ended with its own library," \
  "the exclusive one failed naming the class"

exec 9<"$work/roots/beta/usr/local/tolvane/.mirtal/etc/dravimap.lock"
flock -x 9
playbook "$here/lock.yml" --limit beta "$@" 9<&-
exec 9<&-
if [[ $(recap beta) != *"changed=0 unreachable=0 failed=1"* ]] ||
  ! grep -q "\"msg\": \"zembril did not finish within lock_timeout (1 s).*of the lock: held by pid $$: " "$work/output"; then
  cat "$work/output"
  fail "the task that waited for the lock"
fi
echo "the lock held past lock_timeout: the task failed naming the holder"
# Every library that beta's maps bind is put in its root (unescaped from
# the text form), and then one of the 64-bit map's is removed.
while read -r library; do
  printf -v library '%b' "$library"
  mkdir -p "$work/roots/beta${library%/*}" && : >"$work/roots/beta$library"
done < <({ zembril-dump --root="$work/roots/beta"; zembril-dump --root="$work/roots/beta" --x64; } |
  cut -f3 | grep '^/')
gone=$(zembril-dump --root="$work/roots/beta" --x64 | cut -f3 | head -n1)
rm "$work/roots/beta$gone"
playbook "$here/health.yml" --limit beta -e "gone=$gone" "$@"
[[ $(recap beta) == *"failed=0"* ]] || { cat "$work/output"; fail "beta's health"; }
echo "a library removed: zembril_info's health names the bindings to it, and only them;" \
  "a filtered read checks the map only when asked to"
echo "zembril_fleet: passed"
