#!/usr/bin/env bash
# run.sh BUILD: the Ansible collection as a fleet uses it. Builds it with
# ansible-galaxy, installs it, checks ansible-doc and what of ansible-test
# sanity runs without a network, then runs playbooks against three hosts,
# each a local connection with its own root, with the zembril and
# zembril-dump of BUILD. Needs root, for a read-only bind mount in a private
# mount namespace (it enters one itself).
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD
build=$(cd "$1" && pwd)
if [[ $(readlink /proc/self/ns/mnt) == "$(readlink /proc/1/ns/mnt)" ]]; then
  exec unshare --mount --propagation private bash "$0" "$@"
fi
here=$top/tests/ansible
collection=$top/ansible/ansible_collections/zembril/classmap
work=$(mktemp -d /tmp/zembril-ansible.XXXXXX)
trap 'umount "$work/roots/gamma/usr/local/tolvane/.mirtal/etc" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

echo "-- the collection"
export ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
  ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 \
  PATH=$build:$build/dump:$PATH
ansible-galaxy collection build --output-path "$work" "$collection" >/dev/null
ansible-galaxy collection install -p "$work/collections" "$work"/zembril-classmap-*.tar.gz >/dev/null
for module in zembril_binding zembril_map zembril_info; do
  ansible-doc "zembril.classmap.$module" 2>&1 | grep -q '^RETURN VALUES:' ||
    fail "ansible-doc shows no return values for $module"
done
echo "ansible-doc: each module documented, with return values"
# The sanity tests that need no network; the others would fetch their tools.
mapfile -t offline_tests < <(cd "$collection" && ansible-test sanity --list-tests 2>/dev/null | grep -v -x -E \
  'ansible-doc|import|pep8|pylint|runtime-metadata|validate-modules|yamllint')
selected=()
for test in "${offline_tests[@]}"; do selected+=(--test "$test"); done
python=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
(cd "$collection" && ansible-test sanity --python "$python" --color no "${selected[@]}" >"$work/sanity.log" 2>&1) ||
  { cat "$work/sanity.log"; fail "ansible-test sanity"; }
rm -rf "$collection/tests/output"
# pep8 and yamllint as ansible-test would run them.
pycodestyle --max-line-length 160 --ignore E402,W503,W504,E741 "$collection/plugins" ||
  fail "pycodestyle"
yamllint -d '{extends: default, rules: {line-length: {max: 160}, document-start: disable}}' \
  "$collection"/galaxy.yml "$collection"/meta/runtime.yml "$here"/*.yml || fail "yamllint"
echo "ansible-test sanity: ${#offline_tests[@]} tests clean; pycodestyle and yamllint clean"

echo "-- a fleet of three"
for host in alpha beta gamma; do
  mkdir -p "$work/roots/$host/usr/local/tolvane/.mirtal/etc"
  zembril /root "$work/roots/$host" /x64 /U /add com.admin.Tool /opt/tool.so
  echo "$host ansible_connection=local zembril_root=$work/roots/$host"
done | sed '1i [fleet]' >"$work/inventory"
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

playbook "$here/site.yml"
expect_recap "changed=2 unreachable=0 failed=0"
[[ $(map_of beta) == $'U\tcom.admin.Tool\t/opt/tool.so\nU\tcom.example.Gadget\t/usr/lib64/libgadget.so.1\nU\tcom.example.Widget\t/usr/lib64/libwidget.so.1\nK\tMap<int,Widget>\t/usr/lib64/libwidget.so.1' ]] ||
  fail "beta's map holds [$(map_of beta)]"
echo "install: 2 changed on each host; the administrator's binding stays"
playbook "$here/site.yml"
expect_recap "changed=0 unreachable=0 failed=0"
echo "the same again: 0 changed"

before=$(state)
playbook "$here/site.yml" --check --diff -e soname=2
expect_recap "changed=1 unreachable=0 failed=0"
[[ $(state) == "$before" ]] || fail "check mode wrote"
{ grep -q $'^-U\tcom.example.Widget\t/usr/lib64/libwidget.so.1$' "$work/output" &&
  grep -q $'^+K\tMap<int,Widget>\t/usr/lib64/libwidget.so.2$' "$work/output"; } ||
  { cat "$work/output"; fail "no diff of the rebinding"; }
echo "check mode with diff: 1 changed on each host, nothing written, the diff one binding a line"

mount --bind "$work/roots/gamma/usr/local/tolvane/.mirtal/etc" "$work/roots/gamma/usr/local/tolvane/.mirtal/etc"
mount -o remount,bind,ro "$work/roots/gamma/usr/local/tolvane/.mirtal/etc"
gamma_before=$(map_of gamma)
playbook "$here/site.yml" -e soname=2
expect_recap "changed=1 unreachable=0 failed=0" "changed=0 unreachable=0 failed=1"
{ grep -q '"status": -50204' "$work/output" && grep -q '"rc": 255' "$work/output"; } ||
  { cat "$work/output"; fail "gamma's failure lacks zembril's status and exit status"; }
[[ $(map_of gamma) == "$gamma_before" ]] || fail "gamma's map changed"
echo "rebinding with gamma's map directory read-only: alpha and beta changed, gamma failed alone with -50204"
umount "$work/roots/gamma/usr/local/tolvane/.mirtal/etc"
playbook "$here/site.yml" -e soname=2 --limit gamma
[[ $(recap gamma) == *"changed=1 unreachable=0 failed=0"* ]] || { cat "$work/output"; fail "gamma's retry"; }

playbook "$here/change.yml"
expect_recap "changed=2 unreachable=0 failed=0"
echo "removal, exclusive and zembril_info: as asserted"
echo "ansible: passed"
