#!/usr/bin/env bash
# run.sh BUILD [--skip-lint]: the Ansible collection's checks and tests,
# with the zembril and zembril-dump of BUILD. Builds and installs the
# collection with ansible-galaxy and checks ansible-doc; runs the ansible-test
# sanity tests that need no network, and validate-modules, runtime-metadata,
# pylint, pep8 and yamllint (which ansible-test would install from the
# network) with Debian's packages, and ansible-lint; then ansible-test units
# (tests/unit) and ansible-test integration (tests/integration: playbooks
# against a fleet of three local hosts with their own roots). pep8 and
# yamllint are tests/lint.sh's, which --skip-lint leaves out. Needs root, for
# the fleet's read-only bind mount.
set -euo pipefail
cd "$(dirname "$0")/../.."
case ${2:-} in
  --skip-lint) ;;
  "") bash tests/lint.sh ansible ;;
  *) echo "usage: $0 BUILD [--skip-lint]" >&2; exit 2 ;;
esac
build=$(cd "$1" && pwd)
collection=$PWD/ansible/ansible_collections/zembril/classmap
work=$(mktemp -d /tmp/zembril-ansible.XXXXXX)
trap 'rm -rf "$work" "$collection/tests/output" "$collection/tests/integration/inventory"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
# Debian's Python, which has ansible-core, pytest and voluptuous, whatever
# python3 comes first on PATH.
python=/usr/bin/python3
version=$($python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
core=$($python -c 'from ansible.release import __version__; print(__version__.rsplit(".", 1)[0])')
test_args=(--local --python-interpreter "$python" --python "$version" --color no)
export ANSIBLE_NOCOLOR=1 ANSIBLE_PYTHON_INTERPRETER=$python PATH=$build:$build/dump:$PATH

echo "-- the collection"
# A copy, since ansible-test allows no symlink out of the collection.
cmp -s LICENSE "$collection/LICENSE" || fail "the collection's LICENSE is not the repository's"
ansible-galaxy collection build --output-path "$work" "$collection" >/dev/null
ANSIBLE_COLLECTIONS_PATH=$work/collections \
  ansible-galaxy collection install -p "$work/collections" "$work"/zembril-classmap-*.tar.gz >/dev/null
for module in zembril_binding zembril_map zembril_info; do
  ANSIBLE_COLLECTIONS_PATH=$work/collections ansible-doc "zembril.classmap.$module" 2>&1 |
    grep -q '^RETURN VALUES:' || fail "ansible-doc shows no return values for $module"
done
echo "ansible-doc: each module documented, with return values"

cd "$collection"
version_of_collection=$(sed -n 's/^version: //p' galaxy.yml)
# The others would install their tools from the network into a virtual
# environment; of those, validate-modules, runtime-metadata and pylint run
# below with Debian's packages, pep8 and yamllint in tests/lint.sh.
# changelog (antsibull-changelog) and import (a virtual environment of its
# own) cannot.
mapfile -t offline_tests < <(ansible-test sanity --list-tests 2>/dev/null | grep -v -x -E \
  'ansible-doc|changelog|import|pep8|pylint|runtime-metadata|validate-modules|yamllint')
selected=()
for test in "${offline_tests[@]}"; do selected+=(--test "$test"); done
ansible-test sanity "${test_args[@]}" "${selected[@]}" >"$work/sanity.log" 2>&1 ||
  { cat "$work/sanity.log"; fail "ansible-test sanity"; }
# validate-modules and runtime-metadata as ansible-test runs them, less what
# the ignore file of this version of ansible-core lists.
sanity=$($python -c 'import ansible_test, os; print(os.path.dirname(ansible_test.__file__))')/_util/controller/sanity
validate=$sanity/validate-modules
PYTHONPATH=$validate ANSIBLE_COLLECTIONS_PATH=$collection/../../.. \
  $python "$validate/validate.py" --format json --arg-spec --collection ansible_collections/zembril/classmap \
  --collection-version "$version_of_collection" plugins/modules/*.py >"$work/validate.json" ||
  [[ $? == 3 ]] || fail "validate-modules did not run"
$python - "$work/validate.json" "tests/sanity/ignore-$core.txt" <<'END' ||
import json, sys
ignored = set()
with open(sys.argv[2]) as ignores:
    for line in ignores:
        path, test = line.split('#')[0].split()
        ignored.add((path, test))
found = 0
for path, report in json.load(open(sys.argv[1])).items():
    for error in report['errors']:
        if (path, 'validate-modules:' + error['code']) not in ignored:
            print('%s: %s: %s' % (path, error['code'], error['msg']))
            found += 1
sys.exit(found > 0)
END
  fail "validate-modules"
metadata=$($python "$sanity/code-smell/runtime-metadata.py" meta/runtime.yml)
[[ -z $metadata ]] || fail "runtime-metadata: $metadata"
# pylint with ansible-test's configuration and checkers, Debian's pylint
# rather than the one ansible-test pins.
PYTHONPATH=$sanity/pylint/plugins:$collection/../../.. PYLINTHOME=$work/pylint \
  ANSIBLE_TEST_MODULES_PATH=$collection/plugins/modules/ \
  ANSIBLE_TEST_MODULE_UTILS_PATH=$collection/plugins/module_utils/ \
  $python -m pylint --jobs 0 --reports n --score n --max-line-length 160 --max-complexity 20 \
  --rcfile "$sanity/pylint/config/collection.cfg" \
  --load-plugins deprecated,string_format,unwanted,pylint.extensions.mccabe \
  --collection-name zembril.classmap --collection-version "$version_of_collection" \
  plugins tests/unit || fail "pylint"
echo "ansible-test sanity: ${#offline_tests[@]} tests clean; validate-modules, runtime-metadata and" \
  "pylint clean"
# The collection as Galaxy and its users' linters see it, the options of
# every task of its playbooks checked against the modules' own, a warning
# failing as an error does. ansible-lint 6 (through ansible-compat) finds
# collections in the parent directory of ANSIBLE_COLLECTIONS_PATH, taken
# as one path, hence the trailing slash: without it no module of the
# collection resolves, and their options go unchecked.
ANSIBLE_COLLECTIONS_PATH=$(cd "$collection/../../.." && pwd)/ ansible-lint --offline --strict --nocolor \
  >"$work/lint.log" 2>&1 || { cat "$work/lint.log"; fail "ansible-lint"; }
grep -q 'Unable to' "$work/lint.log" && { cat "$work/lint.log"; fail "ansible-lint did not resolve the modules"; }
echo "ansible-lint: clean, each task's options checked against its module"

echo "-- unit tests"
ansible-test units "${test_args[@]}" 2>&1 | grep -v -E '^WARNING: (Reviewing|Using locale)'
echo "-- integration tests"
ansible-test integration "${test_args[@]}" 2>&1 | grep -v -E '^WARNING: (Reviewing|Using locale)'
echo "ansible: passed"
