#!/usr/bin/env bash
# Builds the Debian package from the build folder, unpacks it into a scratch
# root, and checks that it holds what an installed kavriUpdate needs, that the
# programs it holds start, that its manual pages, completion and AppStream
# metadata work, and that lintian finds no error or warning in it.
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

for program in kavriUpdate kavri-flash kavri-devsim kavri-image; do
    check "bin/$program installed" test -x "$root/bin/$program"
done
check "desktop entry valid" desktop-file-validate "$root/share/applications/org.example.kavriupdate.desktop"
# validate-tree also checks that the metainfo's launchable is an installed desktop entry.
check "AppStream metadata valid" appstreamcli validate-tree --no-net "$scratch/root"
for size in 16 24 32 48 64 96 128; do
    check "icon ${size}x$size" test -s "$root/share/icons/hicolor/${size}x$size/apps/kavriupdate.png"
done
depends=$(dpkg-deb -f "$package" Depends)
for library in libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
    check "depends on $library" grep -q "$library" <<<"$depends"
done
check "recommends bash-completion" grep -q bash-completion <<<"$(dpkg-deb -f "$package" Recommends)"
check "kavri-flash --version runs" "$root/bin/kavri-flash" --version

# A page renders without a word from man or groff on stderr.
renders_cleanly() {
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null) || return 1
    [ -z "$warnings" ] || { echo "$1: $warnings" >&2; return 1; }
}
for page in kavriUpdate kavri-flash kavri-devsim kavri-image; do
    check "manual page $page(1) renders" renders_cleanly "$root/share/man/man1/$page.1.gz"
done

# The completion as bash loads it for kavri-flash: "--po" completes to
# "--port", and a firmware argument offers .kvf files but no other file.
completes() { # completes EXPECTED WORDS...: what the completion offers for the last word
    (cd "$scratch/files" && PATH="$root/bin:$PATH" bash -c '
        source "$1"
        expected=$2
        shift 2
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        _kavri "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        [ "${COMPREPLY[*]}" = "$expected" ]' completes "$root/share/bash-completion/completions/kavri-flash" "$@")
}
mkdir "$scratch/files"
touch "$scratch/files/image.kvf" "$scratch/files/notes.txt"
check "completion: --po is --port" completes "--port" kavri-flash --po
check "completion: firmware is a .kvf file" completes "image.kvf" kavri-flash --devices 2 ""

# The dialog has no option to end by itself: it must still be up after a while.
QT_QPA_PLATFORM=offscreen "$root/bin/kavriUpdate" & dialog=$!
sleep 0.5
check "kavriUpdate starts offscreen" kill -0 "$dialog"
kill "$dialog" 2>/dev/null || true
wait "$dialog" 2>/dev/null || true

# lintian: errors and warnings fail, informational tags are shown and pass.
if command -v lintian >/dev/null; then
    lintian_status=0
    lintian --display-info --fail-on error,warning "$package" 2>/dev/null || lintian_status=$?
    check "lintian: no errors or warnings" test "$lintian_status" -eq 0
else
    echo "skip lintian (not installed)"
fi

[ "$failures" -eq 0 ]
