#!/bin/bash
# Checks the USB drivers package with Wine's own Windows Installer engine, in a
# throwaway 64-bit prefix: reproducible build, install to a chosen folder and
# to the default one, removal by product code, and removal when not installed.
#
# usage: test-package.sh [PACKAGE.msi]   (builds one when none is given)
set -u

here=$(cd "$(dirname "$0")" && pwd)
wine=/usr/lib/wine/wine64
product='{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}'
passed=0
failed=0

work=$(mktemp -d /tmp/pkgtest-XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
    /usr/lib/wine/wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name" >&2
    fi
}

# Run a command line through a batch file so that cmd keeps its quotes as
# written and we can read the full exit code (the shell only sees its low
# 8 bits). Prints the exit code.
run() {
    printf '@echo off\r\n%s\r\necho rc=%%ERRORLEVEL%%\r\n' "$1" > "$WINEPREFIX/drive_c/run.bat"
    "$wine" cmd /c 'C:\run.bat' | tr -d '\r' | sed -n 's/^rc=//p'
}

drive_c=$WINEPREFIX/drive_c
default_dir="$drive_c/Program Files (x86)/Veltrane/USB Drivers"
payload="veltusb.inf veltusb.cat README.txt"

all_present() { for f in $payload; do [ -f "$1/$f" ] || return 1; done; }
none_present() { for f in $payload; do [ ! -e "$1/$f" ] || return 1; done; }
remembered_dir() {
    "$wine" reg query 'HKLM\Software\Wow6432Node\Veltrane\USB Drivers' /v InstallDir 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *InstallDir *REG_SZ *//p'
}

if [ $# -ge 1 ]; then
    msi=$1
else
    msi=$work/a.msi
    "$here/build-package.sh" "$msi" || { echo "build failed" >&2; exit 1; }
    (cd / && "$here/build-package.sh" "$work/b.msi") || exit 1
    check "two builds are byte-identical" cmp -s "$msi" "$work/b.msi"
fi

"$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
cp "$msi" "$drive_c/pkg.msi"

# A chosen folder, with a space in it, is remembered and emptied on removal.
check "install to chosen folder exits 0" \
    test "$(run 'msiexec /i C:\pkg.msi /qn /l* C:\install.log INSTALLDIR="C:\Some Dir"')" = 0
check "payload in chosen folder" all_present "$drive_c/Some Dir"
check "nothing in default folder" none_present "$default_dir"
check "install log written" test -s "$drive_c/install.log"
check "chosen folder remembered" test "$(remembered_dir)" = "C:\\Some Dir\\"
check "removal by product code exits 0" test "$(run "msiexec /x $product /qn")" = 0
check "payload gone from chosen folder" none_present "$drive_c/Some Dir"
check "remembered folder forgotten" test -z "$(remembered_dir)"

check "default install exits 0" test "$(run 'msiexec /i C:\pkg.msi /qn')" = 0
check "payload in default folder" all_present "$default_dir"
check "default removal exits 0" test "$(run "msiexec /x $product /qn")" = 0
check "payload gone from default folder" none_present "$default_dir"
check "emptied folders removed" test ! -e "$drive_c/Program Files (x86)/Veltrane"

check "removal when not installed exits 1605" \
    test "$(run "msiexec /x $product /passive")" = 1605

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
