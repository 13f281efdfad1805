#!/usr/bin/env bash
# lint.sh [PART...]: the checks of the documents and scripts that take seconds
# and need no build, so that the suite fails on them first. The parts, all of
# them when none is named:
#   man        the man pages, with mandoc and groff
#   shell      every shell script of the repository, with shellcheck
#   debhelper  dh_zembril and its sequence: perl -c, podchecker, prove
#   ansible    the collection's Python and YAML, with pycodestyle and yamllint
#              as ansible-test would run them
# tests/package/run.sh and tests/ansible/run.sh run their parts themselves
# unless told that this has (--skip-lint).
set -euo pipefail
cd "$(dirname "$0")/.."

lint_man() {
  local page lint
  for page in doc/*.8; do
    lint=$(mandoc -T lint "$page" 2>&1; groff -man -ww -z "$page" 2>&1)
    [[ -z $lint ]] || { echo "$lint"; exit 1; }
  done
  echo "mandoc and groff: clean"
}

lint_shell() {
  # Every shell script of the repository, so that none drifts out of reach.
  shellcheck -x tests/*.sh tests/package/*.sh packaging/*.sh packaging/*/build.sh tests/ansible/run.sh \
    bench/run.sh bench/ansible.sh .ci/run ansible/ansible_collections/zembril/classmap/tests/integration/targets/*/runme.sh
  shellcheck -s sh debian/postinst debian/postrm debian/prerm examples/*/postinst examples/*/prerm \
    packaging/rpm/zembril-install-declaration packaging/arch/zembril.install
  shellcheck -s bash packaging/arch/PKGBUILD
  shellcheck -s bash completion/*
  echo "shellcheck: clean"
}

lint_debhelper() {
  perl -c debhelper/dh_zembril 2>&1
  perl -MDebian::Debhelper::Dh_Lib -c debhelper/zembril.pm 2>&1
  podchecker debhelper/dh_zembril 2>&1
  prove debhelper/t
}

lint_ansible() {
  (
    cd ansible/ansible_collections/zembril/classmap
    pycodestyle --max-line-length 160 --ignore E402,W503,W504,E741 plugins tests
    yamllint -d '{extends: default, rules: {line-length: {max: 160}, document-start: disable}}' \
      galaxy.yml meta changelogs tests/integration
  )
  echo "pycodestyle and yamllint: clean"
}

parts=("$@")
[[ ${#parts[@]} -gt 0 ]] || parts=(man shell debhelper ansible)
for part in "${parts[@]}"; do
  case $part in
    man | shell | debhelper | ansible) echo "-- $part"; "lint_$part" ;;
    *) echo "usage: $0 [man|shell|debhelper|ansible]..." >&2; exit 2 ;;
  esac
done
