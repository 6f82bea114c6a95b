#!/usr/bin/env bash
# Proves the README's two commands on a fresh machine: makes a minimal Debian 12 root with
# mmdebstrap, puts a clean clone of this repository's committed HEAD in it, and runs under chroot
#   bash scripts/test.sh    to the end, then
#   bash scripts/demo.sh    until the panel has run for about 15 s, checking that its window is
#                           up on the virtual screen the demo starts.
# Prints how long each step took and exits non-zero on any failure. Needs root and the
# mmdebstrap package; it downloads several hundred MB from the Debian mirror, so it is not part
# of CI. Nothing it starts connects anywhere but the mirror and loopback.
#
# Usage: scripts/fresh-machine.sh [options]
#   --cache DIR       keep the base root (a tarball) and the downloaded packages in DIR and reuse
#                     them on later runs; without it every run starts from the mirror
#   --keep            leave the root in place at the end (its path is printed)
#   --root DIR        use a root left by --keep instead of a new one: the clone moves to this
#                     HEAD and keeps its builds, so a rerun is quick; the root is kept
#   --skip-test       run the demo command only
#   --skip-demo       run the test command only
#   --demo-seconds N  how long the panel runs in the demo (default 15)
#   --shot FILE       save a picture of the virtual screen once the window is up
#   --logs DIR        where the commands' output goes (default build/fresh-machine/)
# MIRROR=URL picks another Debian mirror than mmdebstrap's default.
set -euo pipefail

usage() { sed -n '11,22p' "$0" | sed 's/^# \{0,1\}//'; }
die() { echo "fresh-machine.sh: $*" >&2; exit 1; }

src="$(cd "$(dirname "$0")/.." && pwd)"
# The binds live in a mount namespace of their own: they vanish with this script even when it is
# killed, and a later `rm -rf` of the folder can never reach this machine's /dev, /proc or /sys.
if [ "${TALLYSCOPE_FRESH_NS:-}" != 1 ] && [ "$(id -u)" -eq 0 ]; then
  TALLYSCOPE_FRESH_NS=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi
cache="" keep=0 reuse="" run_test=1 run_demo=1 demo_seconds=15 shot="" logs="$src/build/fresh-machine"
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache="$(realpath -m "${2:?--cache needs a folder}")"; shift ;;
    --keep) keep=1 ;;
    --root) reuse="$(realpath -m "${2:?--root needs a folder}")"; keep=1; shift ;;
    --skip-test) run_test=0 ;;
    --skip-demo) run_demo=0 ;;
    --demo-seconds) demo_seconds="${2:?--demo-seconds needs a number}"; shift ;;
    --shot) shot="$(realpath -m "${2:?--shot needs a file name}")"; shift ;;
    --logs) logs="$(realpath -m "${2:?--logs needs a folder}")"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "fresh-machine.sh: unknown option '$1' (see --help)" >&2; exit 64 ;;
  esac
  shift
done
[[ "$demo_seconds" =~ ^[1-9][0-9]*$ ]] || die "--demo-seconds must be a positive whole number"
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, mount and chroot)"
command -v mmdebstrap >/dev/null || die "needs mmdebstrap (apt-get install mmdebstrap)"
command -v git >/dev/null || die "needs git"
commit="$(git -C "$src" rev-parse --verify HEAD)" || die "$src is not a git checkout"
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
  echo "fresh-machine.sh: note: uncommitted changes in $src are not part of the test" >&2
fi

mkdir -p "$logs"
work=""
if [ -n "$reuse" ]; then
  [ -x "$reuse/usr/bin/apt-get" ] || die "$reuse is not a root left by --keep"
  root="$reuse"
else
  work="$(mktemp -d "${TMPDIR:-/var/tmp}/tallyscope-fresh.XXXXXX")"
  root="$work/root"
fi
repo_in_root="/root/tallyscope"
mounted=()

# Processes whose root is the chroot: whatever is left of a command that was stopped.
root_pids() {
  local p r
  for p in /proc/[0-9]*; do
    r="$(readlink "$p/root" 2>/dev/null)" || continue
    [ "$r" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}

cleanup() {
  local rc=$? pids i
  pids="$(root_pids)"
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086 # a list of process ids
    kill -TERM $pids 2>/dev/null || true
    sleep 2
    pids="$(root_pids)"
    # shellcheck disable=SC2086
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
    sleep 1
  fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" \
      || echo "fresh-machine.sh: could not unmount ${mounted[i]}" >&2
  done
  # Never delete through a mount that is still there: that would reach the host's /dev or /sys.
  if grep -q " $root/" /proc/self/mounts; then
    echo "fresh-machine.sh: mounts remain under $root; left in place" >&2
    [ "$rc" -ne 0 ] || rc=1
  elif [ "$keep" -eq 1 ]; then
    echo "root kept in $root"
  elif [ -n "$work" ]; then
    rm -rf --one-file-system "$work"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

bind() {  # bind HOST-PATH PATH-IN-ROOT
  mkdir -p "$root$2"
  mount --rbind "$1" "$root$2"
  mount --make-rslave "$root$2"
  mounted+=("$root$2")
}

# A login on a fresh machine: none of this shell's environment (compiler launchers, a display,
# build settings) leaks into the root.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# ---- the root -------------------------------------------------------------------------------
t0=$SECONDS
mirror=()
[ -z "${MIRROR:-}" ] || mirror=("$MIRROR")
if [ -n "$reuse" ]; then
  echo "root reused from $root"
elif [ -n "$cache" ]; then
  mkdir -p "$cache/archives/partial"
  base="$cache/bookworm-minbase.tar"
  if [ ! -s "$base" ]; then
    mmdebstrap --quiet --variant=minbase --format=tar bookworm "$base.part" "${mirror[@]}" \
      && mv "$base.part" "$base" || die "mmdebstrap failed"
    echo "minimal root made by mmdebstrap: $((SECONDS - t0)) s (kept in $base)"
  else
    echo "minimal root taken from $base"
  fi
  mkdir -p "$root"
  tar -C "$root" -xpf "$base"
else
  mmdebstrap --quiet --variant=minbase bookworm "$root" "${mirror[@]}" || die "mmdebstrap failed"
  echo "minimal root made by mmdebstrap: $((SECONDS - t0)) s"
fi

cp -L /etc/resolv.conf "$root/etc/resolv.conf"
bind /proc /proc
bind /sys /sys
bind /dev /dev
[ -z "$cache" ] || bind "$cache/archives" /var/cache/apt/archives

# A clone, not a copy of the working tree: only what is committed goes in.
if [ -d "$root$repo_in_root/.git" ]; then
  git -C "$root$repo_in_root" fetch --quiet "$src" "$commit"
else
  git clone --quiet --no-checkout --no-hardlinks "$src" "$root$repo_in_root"
fi
git -C "$root$repo_in_root" checkout --quiet --force --detach "$commit"
echo "clone of $(git -C "$src" rev-parse --short HEAD) in $root$repo_in_root"

failed=()

# ---- the test command -----------------------------------------------------------------------
if [ "$run_test" -eq 1 ]; then
  t=$SECONDS
  if in_root bash -c "cd $repo_in_root && bash scripts/test.sh" >"$logs/test.log" 2>&1; then
    echo "test command: passed in $((SECONDS - t)) s ($(grep -E 'tests passed' "$logs/test.log" | tail -1))"
  else
    echo "test command: FAILED after $((SECONDS - t)) s; last lines of $logs/test.log:"
    tail -40 "$logs/test.log" | sed 's/^/  | /'
    failed+=(test)
  fi
fi

# ---- the demo command -----------------------------------------------------------------------
panel_pid() {
  local p
  for p in $(root_pids); do
    [ "$(readlink "/proc/$p/exe" 2>/dev/null)" = "$root$repo_in_root/build/dev/tallyscope" ] && { echo "$p"; return 0; }
  done
  return 0
}
env_of() { tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | sed -n "s/^$2=//p"; }

demo() {
  local t pid panel="" started display xauth win="" geometry
  t=$SECONDS
  # Its own session, so that stopping it reaches every process the command started.
  setsid chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd $repo_in_root && exec bash scripts/demo.sh" >"$logs/demo.log" 2>&1 &
  pid=$!
  # Set-up and build come first; an hour is far more than they take on two cores.
  while [ -z "$panel" ]; do
    kill -0 "$pid" 2>/dev/null || { echo "demo command: ended before the panel started"; return 1; }
    [ $((SECONDS - t)) -lt 3600 ] || { echo "demo command: no panel after an hour"; return 1; }
    sleep 1
    panel="$(panel_pid)"
  done
  started=$SECONDS
  echo "demo command: panel started after $((started - t)) s (set-up and build)"
  display="$(env_of "$panel" DISPLAY)"
  xauth="$(env_of "$panel" XAUTHORITY)"
  [ -n "$display" ] || { echo "demo command: the panel has no DISPLAY"; return 1; }
  # The window must be mapped on the panel's screen: a process alone is not a panel.
  while [ $((SECONDS - started)) -lt "$demo_seconds" ]; do
    kill -0 "$panel" 2>/dev/null || { echo "demo command: the panel ended after $((SECONDS - started)) s"; return 1; }
    if [ -z "$win" ]; then
      win="$(in_root DISPLAY="$display" XAUTHORITY="$xauth" \
             xdotool search --all --onlyvisible --pid "$panel" --name '^Tallyscope$' 2>/dev/null | head -1)" || true
      if [ -n "$win" ]; then
        geometry="$(in_root DISPLAY="$display" XAUTHORITY="$xauth" xdotool getwindowgeometry "$win" \
                    | sed -n 's/^ *Geometry: //p')"
        echo "demo command: window \"Tallyscope\" ($geometry) up on $display after $((SECONDS - started)) s"
        if [ -n "$shot" ]; then
          sleep 3
          in_root DISPLAY="$display" XAUTHORITY="$xauth" import -window root /tmp/shot.png \
            && cp "$root/tmp/shot.png" "$shot" && echo "demo command: screen saved in $shot"
        fi
      fi
    fi
    sleep 1
  done
  kill -0 "$panel" 2>/dev/null || { echo "demo command: the panel ended before $demo_seconds s"; return 1; }
  [ -n "$win" ] || { echo "demo command: no \"Tallyscope\" window in $demo_seconds s"; return 1; }
  kill -TERM -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "demo command: ran $((SECONDS - started)) s, stopped; $((SECONDS - t)) s in all"
}

if [ "$run_demo" -eq 1 ]; then
  if ! demo; then
    echo "demo command: FAILED; last lines of $logs/demo.log:"
    tail -30 "$logs/demo.log" | sed 's/^/  | /'
    failed+=(demo)
  fi
fi

echo "fresh machine: $((SECONDS - t0)) s in all"
[ "${#failed[@]}" -eq 0 ] || die "failed: ${failed[*]}"
