#!/bin/sh
# SPDX-License-Identifier: MIT
# usage: figure.sh RAVLOX PLOTSCRIPT SAMPLE.cal
# The plot script that draws docs/tokens.png still works: it turns the
# sample file's MAT-file into a PNG image of the expected size.
set -eu
ravlox=$1 plot=$2 sample=$3
command -v octave-cli >/dev/null 2>&1 || { echo "octave-cli is not installed"; exit 77; }
command -v gnuplot >/dev/null 2>&1 || { echo "gnuplot is not installed"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$sample" "$tmp/subj1.cal"
(cd "$tmp" && "$ravlox" subj1.cal >/dev/null)
octave-cli --no-gui --norc --quiet "$plot" "$tmp/subj1.mat" "$tmp/t.png" 2>"$tmp/err" ||
    { cat "$tmp/err" >&2; exit 1; }
# PNG signature, then the IHDR chunk: width and height, big-endian.
head=$(od -An -tx1 -N24 "$tmp/t.png" | tr -d ' \n')
case $head in 89504e470d0a1a0a0000000d49484452*) ;; *) echo "not a PNG: $head"; exit 1 ;; esac
w=$((0x$(echo "$head" | cut -c33-40)))
h=$((0x$(echo "$head" | cut -c41-48)))
[ "$w" -ge 600 ] && [ "$h" -ge 400 ] || { echo "image is ${w}x${h}"; exit 1; }
size=$(wc -c <"$tmp/t.png")
[ "$size" -gt 30000 ] || { echo "image of $size bytes: too small to hold the traces"; exit 1; }
echo "PNG ${w}x${h}, $size bytes"
