#!/usr/bin/env bash
# Fails when the translators' template misses a text the dialog shows, or keeps
# one it no longer shows: lupdate over a copy must leave the copy unchanged.
# Usage: translations_current.sh LUPDATE SOURCE_DIR
set -euo pipefail
lupdate=$1 root=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$root/resources/kavriupdate.ts" "$scratch/kavriupdate.ts"
"$lupdate" -silent -locations none -no-obsolete \
    "$root/src/kavriupdate.cpp" "$root/src/kavriupdate.ui" -ts "$scratch/kavriupdate.ts"
if ! diff -u "$root/resources/kavriupdate.ts" "$scratch/kavriupdate.ts"; then
    echo "resources/kavriupdate.ts is out of date: build the update_translations target" >&2
    exit 1
fi
echo "resources/kavriupdate.ts is current"
