#!/bin/sh
# usage: manpage.sh PAGE
# The manual page must pass groff's and mandoc's checks without a word.
set -eu
page=$1
have=0
if command -v groff >/dev/null 2>&1; then
    have=1
    out=$(groff -ww -z -man "$page" 2>&1) || { echo "$out"; exit 1; }
    [ -z "$out" ] || { echo "groff -ww -z -man:"; echo "$out"; exit 1; }
fi
if command -v mandoc >/dev/null 2>&1; then
    have=1
    out=$(mandoc -Tlint "$page" 2>&1) || { echo "$out"; exit 1; }
    [ -z "$out" ] || { echo "mandoc -Tlint:"; echo "$out"; exit 1; }
fi
[ "$have" -eq 1 ] || { echo "neither groff nor mandoc is installed"; exit 77; }
echo "clean under groff -ww -z -man and mandoc -Tlint"
