#!/usr/bin/env bash
# Builds the Debian package from the build folder, unpacks it into a scratch
# root, and checks that it holds what an installed kavriUpdate needs and that
# the programs it holds start.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
check() { # check DESCRIPTION COMMAND...
    if "${@:2}" >/dev/null 2>&1; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null
package=$(ls "$scratch"/out/*.deb)
dpkg-deb --contents "$package" | awk '{ print $6 }'
dpkg-deb -x "$package" "$scratch/root"
root=$scratch/root/usr

for program in kavriUpdate kavri-flash kavri-devsim; do
    check "bin/$program installed" test -x "$root/bin/$program"
done
check "desktop entry valid" desktop-file-validate "$root/share/applications/kavriupdate.desktop"
for size in 16 24 32 48 64 96 128; do
    check "icon ${size}x$size" test -s "$root/share/icons/hicolor/${size}x$size/apps/kavriupdate.png"
done
depends=$(dpkg-deb -f "$package" Depends)
for library in libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
    check "depends on $library" grep -q "$library" <<<"$depends"
done
check "kavri-flash --version runs" "$root/bin/kavri-flash" --version

# The dialog has no option to end by itself: it must still be up after a while.
QT_QPA_PLATFORM=offscreen "$root/bin/kavriUpdate" & dialog=$!
sleep 1.5
check "kavriUpdate starts offscreen" kill -0 "$dialog"
kill "$dialog" 2>/dev/null || true
wait "$dialog" 2>/dev/null || true

[ "$failures" -eq 0 ]
