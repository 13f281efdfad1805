# shellcheck shell=bash
# overlays.sh: sourced by dpkg-test.sh and system-root.sh, which run.sh
# starts in a private mount namespace. Lays throwaway overlays over /usr,
# /etc and /var, a tmpfs over /usr/local and one over /etc/tolvane (so that
# whatever the machine's own directory file says, the runs use the
# fallback), all in a tmpfs at $work: the machine's own system never
# changes. Needs $work, an empty scratch directory.

: "${work:?}"
if [[ $(readlink /proc/self/ns/mnt) == "$(readlink /proc/1/ns/mnt)" ]]; then
  echo "${0##*/}: run it through run.sh, in a private mount namespace" >&2
  exit 2
fi
mount --make-rprivate /
mount -t tmpfs tmpfs "$work"
for directory in /usr /etc /var; do
  mkdir -p "$work/upper$directory" "$work/work$directory"
  mount -t overlay overlay \
    -o "lowerdir=$directory,upperdir=$work/upper$directory,workdir=$work/work$directory" "$directory"
done
mount -t tmpfs -o mode=0755 tmpfs /usr/local
if [[ -d /etc/tolvane ]]; then mount -t tmpfs tmpfs /etc/tolvane; fi
