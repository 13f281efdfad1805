# shellcheck shell=bash
# local-users.sh: sourced by dpkg-test.sh, inside its mount namespace, once
# the package is installed and the 64-bit map holds one binding. Runs the
# shipped zembril and zembril-dump against a local user who is not root
# (nobody, who may read the map but not change it) and against odd files at
# the tool's own paths, and leaves the map as it found it. Uses dpkg-test.sh's
# fail, step, quiet, expect_map, $work and $map_directory.

: "${work:?}" "${map_directory:?}"
directory_file=/etc/tolvane/.mirtal/mirtal.dir
# nobody must reach the helper and the scratch files: $work is root's alone.
scratch=$(mktemp -d /usr/local/zembril-local-users.XXXXXX)
chmod 755 "$scratch"
cp -p "$map_directory/dravimap64" "$scratch/installed"

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# Prints the report zembril gives for CODE: nothing for "-", a warning line
# for a positive code and the two failure lines for a negative one.
report_for() {
  case $1 in
    -) ;;
    -*) printf '\tOperation Failed!\n\tStatus on exit was %s.' "$1" ;;
    *) printf '\tWarning generated: %s' "$1" ;;
  esac
}

# expect_run STATUS CODE COMMAND...: runs COMMAND, which must not wait on
# anything, and checks its exit status and report.
expect_run() {
  local want=$1 report got=0 output
  report=$(report_for "$2")
  shift 2
  output=$(timeout 10 "$@" </dev/null) || got=$?
  [[ $got == "$want" && $output == "$report" ]] ||
    fail "$* exited with $got, reporting [$output]; expected $want, reporting [$report]"
}

step "a local user holds every lock he can get: root's runs do not wait for him"
quiet cc -O2 -Wall -Wextra -Werror -o "$scratch/lock-holder" "$(dirname "${BASH_SOURCE[0]}")/lock-holder.c"
mkdir -p "${directory_file%/*}"
echo "${map_directory%/etc}" >"$directory_file"
quiet zembril /U /add com.example.Thirty '/usr/lib*/libthirty.so'
paths=() path=$map_directory
while paths+=("$path") && [[ $path != / ]]; do path=$(dirname "$path"); done
paths+=("${directory_file%/*}" "$directory_file" "$map_directory"/dravimap{,64,.lock})
"${nobody[@]}" "$scratch/lock-holder" "${paths[@]}" >"$scratch/held" &
holder=$!
trap 'kill "$holder"' EXIT
for _ in {1..100}; do
  grep -q '^ready' "$scratch/held" && break
  sleep 0.05
done
# The map directory must carry the flock that would stall a run that locked
# it; "/" is shared with the rest of the machine, whose locks may be there.
{
  grep -q "^$map_directory/dravimap.lock: cannot open (Permission denied)$" "$scratch/held" &&
    grep -q "^$map_directory: flock-exclusive" "$scratch/held" && grep -q '^ready [1-9]' "$scratch/held"
} || { cat "$scratch/held"; fail "the lock holder did not hold its locks"; }
printf 'U,add,com.example.Filed,/usr/lib*/libfiled.so\n' >"$scratch/commands"
expect_run 0 - zembril /x64 /U /add com.example.Held '/usr/lib*/libheld.so'
expect_run 0 - zembril /x64 /file "$scratch/commands"
kill "$holder"
trap - EXIT
wait "$holder" || true
expect_map "U com.example.Filed /usr/lib64/libfiled.so" "U com.example.Held /usr/lib64/libheld.so" \
  "U com.example.Other /usr/lib64/libother.so"

step "root on a read-only map directory and nobody: queries succeed, changes fail, the map file stays as it was"
mount --bind "$map_directory" "$map_directory"
mount -o remount,bind,ro "$map_directory"
file=$map_directory/dravimap64
cp "$file" "$scratch/before"
before=$(stat -c '%i %.Y' "$file")
for who in root nobody; do
  runner=()
  [[ $who == root ]] || { umount "$map_directory" && runner=("${nobody[@]}"); }
  while read -r status code arguments; do
    read -ra arguments <<<"$arguments"
    expect_run "$status" "$code" "${runner[@]}" zembril "${arguments[@]}"
  done <<'END'
0 - /x64 /U /lookup com.example.Other
0 - /x64 /U /list
0 - /x64 /U /delete com.example.Unbound
1 88360 /x64 /U /add com.example.Other /usr/lib64/libnew.so
0 - /x64 /S /add A /a.so
255 -50204 /x64 /U /add com.example.New /usr/lib64/libnew.so
END
  { [[ $(stat -c '%i %.Y' "$file") == "$before" ]] && cmp -s "$file" "$scratch/before"; } ||
    fail "the map file changed under $who's runs"
done

step "nobody meets a damaged map file: his run fails and leaves it; root's sets it aside"
mv "$file" "$scratch/real"
printf 'XXXX\1\0\0\0\0\0\0\0\0\0\0\0' >"$file"
expect_run 255 -50257 "${nobody[@]}" zembril /x64 /U /list
[[ -f $file && ! -e $file.damaged ]] || fail "nobody's run moved the damaged map file"
expect_run 0 - zembril /x64 /U /list
[[ ! -e $file && -f $file.damaged ]] || fail "root's run did not set the damaged map file aside"
rm "$file.damaged"
mv "$scratch/real" "$file"

step "FIFOs as the directory file and the 32-bit map file, without and with a writer: nothing waits"
rm "$directory_file" "$map_directory/dravimap"
mkfifo "$directory_file" "$map_directory/dravimap"
# Without a writer an open that blocks waits for ever, with one a read does.
for writer in none held; do
  [[ $writer == none ]] || exec {directory_writer}<>"$directory_file" {map_writer}<>"$map_directory/dravimap"
  # Neither is read, and the map directory is the fallback (the same one).
  expect_run 255 -50207 zembril /U /list
  expect_run 0 - zembril /x64 /U /list
  [[ -p $map_directory/dravimap && ! -e $map_directory/dravimap.damaged ]] ||
    fail "the FIFO at the map file's path was moved"
  for arguments in "" --check "--salvage $map_directory/dravimap" --x64; do
    status=0
    # shellcheck disable=SC2086 # split on purpose
    timeout 10 zembril-dump $arguments >"$work/output" 2>&1 || status=$?
    # Only the 64-bit map file is a map to show; the FIFO needs attention.
    shows=0
    [[ $arguments == --x64 ]] && shows=1
    ((status != 124 && (status == 0) == shows)) ||
      { cat "$work/output"; fail "zembril-dump $arguments exited with $status ($writer writer)"; }
    [[ $arguments != --check ]] || grep -qi "${directory_file##*/}: not a regular file" "$work/output" ||
      { cat "$work/output"; fail "zembril-dump --check did not call the directory file not a regular file"; }
  done
done
exec {directory_writer}>&- {map_writer}>&-
rm "$directory_file" "$map_directory/dravimap"

step "the copy that stands in for a failed rename: nobody's reads show one whole version or fail"
# A file bind-mounted over the map file makes the rename fail with EBUSY.
cp "$file" "$scratch/mounted"
mount --bind "$scratch/mounted" "$file"
# Two versions of one size that differ in every record, in a file of many
# read pieces: only the file's times can tell a reader that it read parts
# of both.
for version in A B; do
  {
    echo U,reset
    for class in {1000..1599}; do echo "U,add,com.example.Class$class,/usr/lib64/lib$version.so"; done
  } >"$scratch/$version.commands"
  quiet zembril /x64 /file "$scratch/$version.commands"
  zembril-dump --x64 >"$scratch/$version.map" || fail "zembril-dump --x64 exited with $?"
done
[[ $(stat -c %s "$scratch/mounted") -gt 16384 ]] || fail "the map file fits in one read"
# One read before the writes begin, so that the reads are known to work.
"${nobody[@]}" zembril-dump --x64 | cmp -s - "$scratch/B.map" || fail "nobody cannot read the map"
mkdir "$scratch/reads"
(
  for read in {1..2000}; do
    [[ -e $scratch/done ]] && break
    "${nobody[@]}" zembril-dump --x64 >"$scratch/reads/$read" 2>/dev/null ||
      mv "$scratch/reads/$read" "$scratch/reads/$read.refused"
  done
) &
reader=$!
trap 'kill "$reader"' EXIT
for _ in {1..20}; do
  for version in A B; do quiet zembril /x64 /file "$scratch/$version.commands"; done
done
touch "$scratch/done"
trap - EXIT
wait "$reader"
umount "$file"
reads=("$scratch"/reads/*) whole=("$scratch"/reads/*[0-9])
step "  ${#reads[@]} reads by nobody, ${#whole[@]} of them whole, the rest refused"
for read in "${whole[@]}"; do
  cmp -s "$read" "$scratch/A.map" || cmp -s "$read" "$scratch/B.map" ||
    fail "nobody's read $(basename "$read") is neither version of the map"
done

# Leave the map as the install step made it.
cp "$scratch/installed" "$file"
rm -r "${directory_file%/*}" "$scratch"
expect_map "U com.example.Other /usr/lib64/libother.so"
