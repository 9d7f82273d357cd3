#!/bin/sh
# 32-bit Wine for the end-to-end run of the 32-bit product (build/x86/setup.exe).
#
#   tests/e2e/x86-wine.sh install [PACKAGE...]
#                                   as root: set it all up (idempotent); further
#                                   Debian packages come in the same apt-get run
#   tests/e2e/x86-wine.sh check     exit 0 if this machine can run 32-bit Wine,
#                                   else explain why and exit 1
#   tests/e2e/x86-wine.sh kind      how 32-bit Linux programs run here now:
#                                   native, qemu or none
#   tests/e2e/x86-wine.sh qemu-on   as root: hand them to qemu even where the
#                                   kernel runs them itself; prints the entry's
#                                   state before (absent, disabled, enabled)
#   tests/e2e/x86-wine.sh qemu-restore STATE
#                                   put the entry back in that state
#   tests/e2e/x86-wine.sh register QEMU
#                                   register QEMU as the entry (where a user
#                                   namespace has a binfmt_misc of its own)
#
# 32-bit Wine is a 32-bit Linux program. Where the kernel cannot run those
# (no IA-32 emulation), binfmt_misc hands them to qemu-i386-static; the F flag
# opens the emulator at registration, so it also works inside containers.
# The preloader lets Wine reserve its address space in a few calls: without
# it Wine probes that space in 64 KiB pieces, which under qemu costs close to
# a minute per process start.
set -eu

LOADER=/usr/lib/wine/wine
QEMU=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=qemu-i386
PACKAGES="qemu-user-static wine32:i386 wine32-preloader:i386"
# Any i386 ELF executable or shared object (e_type 2 or 3, e_machine 3).
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

runs_32_bit() {
  [ -x "$LOADER" ] && "$LOADER" --version >/dev/null 2>&1
}

# binfmt_misc handlers are asked before the kernel's own ELF loader, so with
# an enabled entry every 32-bit program runs through qemu. qemu-user also
# takes its options from QEMU_* variables: with QEMU_VERSION set it prints
# its own version instead of running the program, which the kernel would not.
kind() {
  version=$( [ -x "$LOADER" ] && QEMU_VERSION=1 "$LOADER" --version 2>/dev/null) || version=
  case $version in
    qemu-i386*) echo qemu ;;
    wine-*) echo native ;;
    *) echo none ;;
  esac
}

mount_binfmt() {
  [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" ||
    { echo "x86-wine: cannot mount binfmt_misc" >&2; return 1; }
}

# $1: the qemu to register (default: the machine's own).
register() {
  qemu=${1:-$QEMU}
  mount_binfmt || return 1
  # A stale entry (disabled, or registered without F) is replaced.
  [ -e "$BINFMT/$ENTRY" ] && echo -1 >"$BINFMT/$ENTRY"
  printf '%s' ":$ENTRY:M::$MAGIC:$MASK:$qemu:F" >"$BINFMT/register" ||
    { echo "x86-wine: cannot register $qemu with binfmt_misc" >&2; return 1; }
}

entry_state() {
  if [ ! -e "$BINFMT/$ENTRY" ]; then
    echo absent
  elif [ "$(head -n 1 "$BINFMT/$ENTRY")" = enabled ]; then
    echo enabled
  else
    echo disabled
  fi
}

qemu_on() {
  [ "$(id -u)" = 0 ] || { echo "x86-wine: qemu-on needs root" >&2; return 1; }
  [ -x "$QEMU" ] || { echo "x86-wine: $QEMU is missing (make deps installs it)" >&2; return 1; }
  mount_binfmt || return 1
  before=$(entry_state)
  case $before in
    absent) register || return 1 ;;
    disabled) echo 1 >"$BINFMT/$ENTRY" ;;
  esac
  if [ "$(kind)" != qemu ]; then
    echo "x86-wine: 32-bit programs still do not run through $QEMU" >&2
    qemu_restore "$before"
    return 1
  fi
  echo "$before"
}

qemu_restore() {
  [ -e "$BINFMT/$ENTRY" ] || return 0
  case $1 in
    absent) echo -1 >"$BINFMT/$ENTRY" ;;
    disabled) echo 0 >"$BINFMT/$ENTRY" ;;
    enabled) ;;
    *) echo "x86-wine: unknown entry state '$1'" >&2; return 2 ;;
  esac
}

missing_packages() {
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || echo "$p"
  done
}

install() {
  if [ "$(id -u)" != 0 ]; then
    echo "x86-wine: not root; 32-bit Wine is not set up (see 'tests/e2e/x86-wine.sh check')" >&2
    return 0
  fi
  updated=
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=no
  fi
  # One apt-get update and install for everything: on a new machine each
  # costs tens of seconds.
  missing=$(missing_packages $PACKAGES "$@")
  if [ -n "$missing" ]; then
    echo "Installing:" $missing
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
  elif [ -n "$updated" ]; then
    apt-get update -qq
  fi

  runs_32_bit && return 0
  register || return 0
  runs_32_bit || echo "x86-wine: 32-bit Wine still does not start" >&2
  return 0
}

check() {
  runs_32_bit && return 0
  {
    echo "This machine cannot run 32-bit Wine, so the 32-bit product cannot be run."
    if [ ! -x "$LOADER" ]; then
      echo "  $LOADER is missing or not executable (Debian packages: $PACKAGES)."
    elif [ ! -e "$BINFMT/register" ]; then
      echo "  The kernel runs no 32-bit programs and binfmt_misc is not mounted at $BINFMT."
    else
      echo "  The kernel runs no 32-bit programs and no working binfmt_misc entry hands them to $QEMU."
    fi
    echo "  As root, 'make deps' sets this up (it needs binfmt_misc in the kernel)."
    echo "  To run the other tests without running the product: make test SETUP_SKIP_X86_RUN=1"
  } >&2
  return 1
}

case "${1:-}" in
  install) shift; install "$@" ;;
  check) check ;;
  kind) kind ;;
  qemu-on) qemu_on ;;
  qemu-restore) [ $# -eq 2 ] || { echo "usage: $0 qemu-restore STATE" >&2; exit 2; }
                qemu_restore "$2" ;;
  register) [ $# -eq 2 ] || { echo "usage: $0 register QEMU" >&2; exit 2; }
            register "$2" ;;
  *) echo "usage: $0 install|check|kind|qemu-on|qemu-restore STATE|register QEMU" >&2; exit 2 ;;
esac
