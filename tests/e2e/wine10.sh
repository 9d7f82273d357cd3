#!/bin/sh
# Wine 10 from Debian 13 (trixie), the second engine of the end-to-end tests,
# in a minimal Debian 13 tree beside the machine's own Wine 8.
#
#   tests/e2e/wine10.sh install       as root: make the tree and install Wine 10
#                                     in it (idempotent; quick when done)
#   tests/e2e/wine10.sh check         exit 0 if Wine 10 runs here, else say why
#   tests/e2e/wine10.sh run CMD ARG…  run CMD inside the tree, in the current
#                                     directory, with the current environment
#
# The tree is entered only through a private mount namespace: /proc, /sys,
# /dev, /tmp (Wine prefixes, wineserver sockets, X sockets) and the
# repository are bound at the same paths inside as outside, then chroot. The
# mounts die with the namespace's last process (a persistent wineserver
# keeps it until it exits); the machine's own mount table never sees them.
# Where 32-bit programs run through qemu (the binfmt_misc entry that
# x86-wine.sh registers), the tree's 32-bit Wine runs through the tree's own
# qemu, Debian 13's: tests/e2e/wine10-qemu-preloader is bound over Wine's
# 32-bit preloader for the namespace, the real one kept aside (see there).
set -eu

ROOT=${SETUP_WINE10_ROOT:-/var/lib/setup-e2e/trixie}
MIRROR=${SETUP_WINE10_MIRROR:-http://deb.debian.org/debian}
REPO=$(cd "$(dirname "$0")/../.." && pwd -P)
PACKAGES="wine wine64 wine32:i386 wine32-preloader:i386 wine64-preloader qemu-user"
DONE="$ROOT/var/lib/setup-e2e-installed"
LOADER64=/usr/lib/wine/wine64
PRELOADER32=/usr/lib/wine/wine-preloader.static
# Where the real 32-bit preloader is bound when the qemu one takes its place.
# (in its folder: Wine finds its libraries from where its loader is)
PRELOADER32_KEPT=/usr/lib/wine/wine-preloader.kept
BINFMT_ENTRY=/proc/sys/fs/binfmt_misc/qemu-i386

via_qemu() {
  [ "$(head -n 1 "$BINFMT_ENTRY" 2>/dev/null)" = enabled ]
}

enter() {
  # $1: directory to start in; the rest: the command.
  qemu=
  via_qemu && qemu=$REPO/tests/e2e/wine10-qemu-preloader
  exec unshare -m --propagation private sh -c '
    root=$1; repo=$2; qemu=$3; kept=$4; preloader=$5; dir=$6; shift 6
    for d in /proc /sys /dev /tmp "$repo"; do
      mkdir -p "$root$d"
      mount --rbind "$d" "$root$d"
    done
    if [ -n "$qemu" ]; then
      mkdir -p "$root${kept%/*}"
      [ -e "$root$kept" ] || : >"$root$kept"
      mount --bind "$root$preloader" "$root$kept"
      mount --bind "$qemu" "$root$preloader"
    fi
    exec chroot "$root" sh -c '\''cd "$1" || exit 125; shift; exec "$@"'\'' sh "$dir" "$@"
  ' sh "$ROOT" "$REPO" "$qemu" "$PRELOADER32_KEPT" "$PRELOADER32" "$@"
}

runs() {
  [ -x "$ROOT$LOADER64" ] && (enter / "$LOADER64" --version) >/dev/null 2>&1
}

install() {
  if [ "$(id -u)" != 0 ]; then
    echo "wine10: not root; Wine 10 is not set up (see 'tests/e2e/wine10.sh check')" >&2
    return 0
  fi
  if [ -f "$DONE" ] && [ "$(cat "$DONE")" = "$PACKAGES" ] && runs; then
    return 0
  fi
  command -v debootstrap >/dev/null || { echo "wine10: debootstrap is missing" >&2; return 0; }
  command -v unshare >/dev/null || { echo "wine10: unshare is missing" >&2; return 0; }
  if [ ! -x "$ROOT/usr/bin/apt-get" ] || [ -e "$ROOT/debootstrap" ]; then
    # A tree that debootstrap did not finish is made anew.
    rm -rf "$ROOT"
    mkdir -p "$ROOT"
    echo "wine10: debootstrap trixie into $ROOT"
    debootstrap --variant=minbase trixie "$ROOT" "$MIRROR" >"$ROOT.debootstrap.log" 2>&1 ||
      { echo "wine10: debootstrap failed, see $ROOT.debootstrap.log" >&2; return 0; }
  fi
  echo "wine10: installing $PACKAGES in $ROOT"
  # shellcheck disable=SC2086
  (enter / sh -c 'dpkg --add-architecture i386 && apt-get update -qq &&
     DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" &&
     apt-get clean' sh $PACKAGES) >"$ROOT.apt.log" 2>&1 ||
    { echo "wine10: apt-get in the tree failed, see $ROOT.apt.log" >&2; return 0; }
  runs || { echo "wine10: Wine 10 still does not start" >&2; return 0; }
  echo "$PACKAGES" >"$DONE"
}

check() {
  runs && return 0
  {
    echo "Wine 10, the second engine, cannot run here, so the tests under it cannot run."
    if [ ! -x "$ROOT$LOADER64" ]; then
      echo "  $ROOT$LOADER64 is missing: the Debian 13 tree is not set up."
    elif [ "$(id -u)" != 0 ]; then
      echo "  Entering $ROOT needs root (unshare -m, mount, chroot)."
    else
      echo "  $LOADER64 in $ROOT does not start (unshare -m and chroot must work)."
    fi
    echo "  As root, 'make deps' sets it up (debootstrap from Debian's archive, unshare)."
    echo "  To run the other tests without it: make test SETUP_SKIP_WINE10=1"
  } >&2
  return 1
}

case "${1:-}" in
  install) install ;;
  check) check ;;
  run) shift; [ $# -gt 0 ] || { echo "usage: $0 run CMD [ARG...]" >&2; exit 2; }
       enter "$(pwd -P)" "$@" ;;
  *) echo "usage: $0 install|check|run CMD [ARG...]" >&2; exit 2 ;;
esac
