#!/usr/bin/env bash
# The bash completion of zembril and zembril-dump: what each offers at a few
# points of a command line, with the map that zembril-dump shows faked.
# shellcheck disable=SC2317 # the completion functions call compopt and zembril-dump
set -euo pipefail
cd "$(dirname "$0")/../.."

# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=completion/zembril
source completion/zembril
# shellcheck source=completion/zembril-dump
source completion/zembril-dump

# compopt works only while readline completes; here it has nothing to do.
compopt() { :; }
# Two maps as zembril-dump would print them; any other map is empty.
zembril-dump() {
  case "$*" in
    "--scope=U") printf 'U\tcom.example.A\t/usr/lib32/liba.so\nU\tcom.example.B\t/usr/lib32/libb.so\n' ;;
    "--x64 --scope=K") printf 'K\tMap<int,Key>\t/usr/lib64/libmap.so\n' ;;
    "--root=/srv/image --x64 --scope=U") printf 'U\tcom.example.Image\t/usr/lib64/libimage.so\n' ;;
  esac
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/classes.txt"
cd "$scratch"

# Completes the last word of LINE with FUNCTION and prints the offers, one
# per pair of brackets.
offers() {
  local line=$1 function=$2
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=('')
  COMP_LINE=$line COMP_POINT=${#line} COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=()
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  if ((${#COMPREPLY[@]} > 0)); then printf '[%s]' "${COMPREPLY[@]}"; fi
}

failed=0
while IFS='|' read -r line function want; do
  got=$(offers "$line" "$function")
  if [[ $got != "$want" ]]; then
    echo "completion of '$line': expected $want, got $got"
    failed=1
  fi
done <<'END'
zembril |_zembril|[/root][/x64][/U][/K][/S][/file]
zembril /x64 |_zembril|[/U][/K][/S][/file]
zembril /root /srv/image |_zembril|[/x64][/U][/K][/S][/file]
zembril /root /srv/image /x64 /U /delete |_zembril|[com.example.Image]
zembril /x64 /k /look|_zembril|[/lookup][/lookuplib]
zembril /x64 /k /delete |_zembril|[Map<int,Key>]
zembril /U /lookup com.|_zembril|[com.example.A][com.example.B]
zembril /u /deletelib /usr/lib32/liba|_zembril|[/usr/lib32/liba.so]
zembril /x64 /U /delete |_zembril|
zembril /S /delete |_zembril|
zembril /x64 /file cl|_zembril|[classes.txt]
zembril /U /add A cl|_zembril|[classes.txt]
zembril-dump --f|_zembril_dump|[--format=]
zembril-dump --format=j|_zembril_dump|[json]
zembril-dump --explain -5020|_zembril_dump|[-50204][-50205][-50207][-50208][-50209]
zembril-dump --salvage cl|_zembril_dump|[classes.txt]
END
[[ $failed == 0 ]] && echo "completion: passed"
exit "$failed"
