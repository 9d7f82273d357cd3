#!/bin/sh
# Build the Veltrane USB Drivers package: build-package.sh OUTPUT.msi
#
# Works from any folder. The same sources always give the same bytes: the
# payload is staged with fixed file dates (the cabinet records them), and the
# build time and random package code that wixl writes are pinned afterwards.
# SOURCE_DATE_EPOCH, when set, chooses that fixed moment.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTPUT.msi" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
out=$1
case $out in
    /*) ;;
    *) out=$(pwd)/$out ;;
esac
epoch=${SOURCE_DATE_EPOCH:-1704067200}   # 2024-01-01 00:00:00 UTC

stage=$(mktemp -d "${TMPDIR:-/tmp}/usb-drivers-pkg.XXXXXX")
trap 'rm -rf "$stage"' EXIT

cp "$here/usb-drivers.wxs" "$stage/"
cp -R "$here/files" "$stage/files"
find "$stage/files" -exec touch -h -d "@$epoch" {} +

# wixl looks for File sources in the current folder before the .wxs file's
# own, so run it in the staging folder. The cabinet stores local-time file
# dates, so fix the zone as well.
(cd "$stage" && TZ=UTC wixl -a x86 -o out.msi usb-drivers.wxs)
/usr/bin/python3 "$here/pin-summary.py" "$stage/out.msi" "$epoch"
mkdir -p "$(dirname "$out")"
mv "$stage/out.msi" "$out"
