#!/bin/sh
# usage: package.sh CPACK BUILD VERSION
# Makes the Debian package with cpack -G DEB and checks its name, version,
# contents, and that the program and the page it unpacks are the ones built.
set -eu
cpack=$1 build=$2 version=$3
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb is not installed"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

"$cpack" -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake" >"$tmp/log" 2>&1 ||
    { cat "$tmp/log" >&2; fail "cpack failed"; }
set -- "$tmp"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "no single .deb in the output: $*"
deb=$1
[ "$(dpkg-deb -f "$deb" Package)" = ravlox ] || fail "package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version)"
case $(basename "$deb") in ravlox_"$version"_*.deb) ;; *) fail "file name $(basename "$deb")" ;; esac

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/ravlox ./usr/share/man/man1/ravlox.1 " ] || fail "contents: $files"

dpkg-deb -x "$deb" "$tmp/root"
out=$("$tmp/root/usr/bin/ravlox" -x 2>&1)
[ "$out" = "" ] || fail "the packaged ravlox printed: $out"
cmp -s "$tmp/root/usr/share/man/man1/ravlox.1" "$build/ravlox.1" || fail "the packaged page differs"
echo "$(basename "$deb"): usr/bin/ravlox, usr/share/man/man1/ravlox.1"
