#!/bin/sh
# SPDX-License-Identifier: MIT
# usage: manpage.sh PAGE RAVLOX EXAMPLES_DIR
# The manual page must pass groff's and mandoc's checks without a word, and
# the transcript in its EXAMPLES, as the page renders, must be what ravlox
# prints for the sample files: every line, the closing empty line too, up
# to the prompt that follows it.
set -eu
page=$1 ravlox=$2 examples=$3
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

# The text as groff renders it (mandoc's ascii output needs col to lose
# its overstrikes).
if command -v groff >/dev/null 2>&1; then
    render() { groff -man -Tascii -P-cbou "$page"; }
else
    render() { mandoc -Tascii "$page" | col -bx; }
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmd='ravlox subj1.cal subj2.cal'
render | sed 's/^[[:space:]]*//' >"$tmp/text"
sed -n "/^\\\$ $cmd\$/,/^\\\$\$/p" "$tmp/text" >"$tmp/shown"
[ "$(head -n 1 "$tmp/shown")" = "\$ $cmd" ] || { echo "EXAMPLES shows no \"\$ $cmd\""; exit 1; }
[ "$(tail -n 1 "$tmp/shown")" = "\$" ] || { echo "the transcript of \"$cmd\" ends in no prompt"; exit 1; }
sed '1d;$d' "$tmp/shown" >"$tmp/want"
mkdir "$tmp/run"
cp "$examples"/subj1.cal "$examples"/subj2.cal "$tmp/run"
(cd "$tmp/run" && "$ravlox" subj1.cal subj2.cal) >"$tmp/got"
diff "$tmp/want" "$tmp/got" || { echo "EXAMPLES shows (<) other lines than ravlox prints (>)"; exit 1; }
echo "clean under groff -ww -z -man and mandoc -Tlint; EXAMPLES shows what ravlox prints"
