#!/usr/bin/env bash
# Runs the README's two commands, `make test` and `make demo`, from a clean clone of this
# repository's HEAD inside a minimal Debian 12 root built with debootstrap: what a new
# user on a freshly installed machine gets. Needs root, debootstrap and network access to
# the Debian mirror and the npm registry. Takes a long time (everything is downloaded and
# built from scratch); not part of .ci/run.
#
#   scripts/check-fresh.sh [--keep] [--dir DIR] [--mirror URL]
#
# The root goes into a scratch directory (default: a new directory under /var/tmp). Inside
# it are mounted a fresh /proc, a read-only /sys, a read-only bind of the host's /dev, a
# fresh tmpfs on /dev/shm and a new devpts instance on /dev/pts. Everything is unmounted when the script ends, however it ends,
# and the root is removed only when nothing is mounted below it any more (never through a
# bind mount). --keep leaves the root in place (still unmounted) for a look afterwards.
#
# The minimal root holds what the user needs to have this checkout at all and to type the
# first command: git and make. Everything else must come from scripts/setup-deps.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
suite=bookworm
mirror=http://deb.debian.org/debian
security_mirror=http://deb.debian.org/debian-security
keep=0
scratch=""

usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; }
while (($#)); do
  case "$1" in
    --keep) keep=1 ;;
    --dir) scratch=$2; shift ;;
    --mirror) mirror=$2; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "check-fresh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

fail() { echo "check-fresh: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "must run as root (debootstrap, chroot and mounts need it)"
command -v debootstrap >/dev/null || fail "debootstrap is not installed (apt-get install debootstrap)"
commit=$(git -C "$here" rev-parse HEAD)
if [ -n "$(git -C "$here" status --porcelain --untracked-files=no)" ]; then
  echo "check-fresh: note: uncommitted changes are not part of the check (it clones $commit)"
fi

if [ -z "$scratch" ]; then
  scratch=$(mktemp -d /var/tmp/ombrix-check-fresh.XXXXXX)
else
  mkdir -p "$scratch"
  [ -z "$(ls -A "$scratch")" ] || fail "$scratch is not empty"
fi
root="$scratch/root"
log="$scratch/check-fresh.log"
mkdir -p "$root"

# Mount points below the root, innermost last; unmounted in reverse order.
mounted=()
mount_in_root() { # mount_in_root <target below root> <mount arguments...>
  local target="$root/$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}

mounts_below_root() { awk -v r="$(realpath "$root")" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts; }

cleanup() {
  local status=$?
  set +e
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
  done
  if [ -n "$(mounts_below_root)" ]; then
    echo "check-fresh: still mounted below $root, NOT removing it:" >&2
    mounts_below_root >&2
  elif ((keep)); then
    echo "check-fresh: the root stays in $root (log: $log)"
  else
    cp -f "$log" "$scratch.log" 2>/dev/null && echo "check-fresh: log kept in $scratch.log"
    rm -rf --one-file-system "$scratch"
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

exec > >(tee -a "$log") 2>&1
elapsed() { local s=$((SECONDS - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
started=$SECONDS
echo "check-fresh: commit $commit, root $root, mirror $mirror ($(date -u +%H:%M:%S) UTC)"

step=$SECONDS
nice debootstrap --variant=minbase --include=git,make "$suite" "$root" "$mirror"
echo "check-fresh: minimal root built in $(elapsed $step)"

cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security_mirror $suite-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Certificate authorities this site added locally (a TLS-intercepting proxy, a company
# CA): a fresh machine here gets them too, or nothing can reach the npm registry. The
# root's ca-certificates, installed by the set-up, adds them to its store.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
fi
# No services start inside the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"

mount_in_root proc -t proc proc
mount_in_root sys -t sysfs -o ro sysfs
mount_in_root dev --bind /dev
mount -o remount,bind,ro "$root/dev"
mount_in_root dev/shm -t tmpfs -o mode=1777,nosuid,nodev tmpfs
mount_in_root dev/pts -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts
mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx" && mounted+=("$root/dev/ptmx")

# A clean copy of HEAD: a clone, as a user has it, without .deps, build trees or changes.
git clone -q --no-hardlinks "$here" "$root/src/libOmbrixSherpa"
git -C "$root/src/libOmbrixSherpa" checkout -q --detach "$commit"

in_root() {
  nice chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /src/libOmbrixSherpa && $1" </dev/null
}

for command in "make test" "make demo"; do
  step=$SECONDS
  echo
  echo "check-fresh: ==== $command ($(date -u +%H:%M:%S) UTC)"
  if ! in_root "$command"; then
    echo "check-fresh: FAILED: '$command' after $(elapsed $step) (total $(elapsed $started))"
    exit 1
  fi
  echo "check-fresh: '$command' succeeded in $(elapsed $step)"
done
in_root "test -s out/demo.wav" || fail "make demo wrote no out/demo.wav"
echo "check-fresh: node $(in_root 'node --version'), npm $(in_root 'npm --version') inside the root"
echo "check-fresh: PASSED in $(elapsed $started) (debootstrap, set-up, build, tests, demo)"
