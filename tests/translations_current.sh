#!/usr/bin/env bash
# Fails when the translators' template misses a text the dialog shows, or keeps
# one it no longer shows: lupdate over a copy must leave the copy unchanged.
# Usage: translations_current.sh LUPDATE TS_FILE [OPTION...] -- SOURCE...
# CTest passes what the update_translations target uses, read off the dialog's
# target, so the two cannot disagree.
set -euo pipefail
lupdate=$1 template=$2
shift 2
options=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    options+=("$1")
    shift
done
[ $# -gt 0 ] || { echo "usage: $0 LUPDATE TS_FILE [OPTION...] -- SOURCE..." >&2; exit 2; }
shift
# As update_translations does, sources that do not exist (generated ones not
# made yet) are left out.
sources=()
for source in "$@"; do
    [ -e "$source" ] && sources+=("$source")
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$template" "$scratch/template.ts"
"$lupdate" -silent "${options[@]}" "${sources[@]}" -ts "$scratch/template.ts"
if ! diff -u "$template" "$scratch/template.ts"; then
    echo "$template is out of date: build the update_translations target" >&2
    exit 1
fi
echo "$template is current"
