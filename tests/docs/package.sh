#!/bin/sh
# SPDX-License-Identifier: MIT
# usage: package.sh CPACK BUILD VERSION CONTACT
# Makes the Debian package with cpack -G DEB and checks its name, version,
# maintainer and contents; that lintian finds no error and no warning in it;
# that the program and the page it unpacks are the ones built; and that its
# copyright and changelog say what the tree says. CONTACT is the build's
# RAVLOX_CONTACT, which must be a real "Name <address>" for lintian (scripts/test
# configures a test contact).
set -eu
cpack=$1 build=$2 version=$3 contact=$4
src=$(cd "$(dirname "$0")/../.." && pwd)
for c in dpkg-deb dpkg-parsechangelog lintian; do
    command -v "$c" >/dev/null 2>&1 || { echo "$c is not installed"; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

# Under umask 077 cpack stages every directory as 0700; the package must
# still carry 0755 directories.
(umask 077 && "$cpack" -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake") >"$tmp/log" 2>&1 ||
    { cat "$tmp/log" >&2; fail "cpack failed"; }
set -- "$tmp"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "no single .deb in the output: $*"
deb=$1
[ "$(dpkg-deb -f "$deb" Package)" = ravlox ] || fail "package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "$contact" ] || fail "maintainer $(dpkg-deb -f "$deb" Maintainer)"
case $(basename "$deb") in ravlox_"$version"_*.deb) ;; *) fail "file name $(basename "$deb")" ;; esac

# Every file and directory, with its mode and owner.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $NF }' >"$tmp/contents"
cat >"$tmp/want" <<EOF
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/ravlox
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/ravlox/
-rw-r--r-- root/root ./usr/share/doc/ravlox/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/ravlox/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/ravlox.1.gz
EOF
diff "$tmp/want" "$tmp/contents" >&2 || fail "contents differ from the list above (-want +got)"

# lintian, as root, first says that it runs as root: that line is no finding.
lintian --fail-on error,warning "$deb" >"$tmp/lint" 2>&1 || { cat "$tmp/lint" >&2; fail "lintian failed"; }
if grep -v '^running with root privileges is not recommended!$' "$tmp/lint" | grep -q .; then
    cat "$tmp/lint" >&2
    fail "lintian reported the lines above"
fi

dpkg-deb -x "$deb" "$tmp/root"
out=$("$tmp/root/usr/bin/ravlox" -x 2>&1)
[ "$out" = "" ] || fail "the packaged ravlox printed: $out"
doc=$tmp/root/usr/share/doc/ravlox
man=$tmp/root/usr/share/man/man1/ravlox.1.gz
# gzip -9n: maximal compression (XFL 2), no file name (FLG 0), no time (MTIME 0).
for gz in "$man" "$doc/changelog.gz"; do
    head=$(od -An -tx1 -N9 "$gz" | tr -d ' \n')
    [ "$head" = 1f8b08000000000002 ] || fail "$(basename "$gz") has the gzip header $head"
done
gzip -dc "$man" >"$tmp/ravlox.1"
cmp -s "$tmp/ravlox.1" "$build/ravlox.1" || fail "the packaged page differs"

# The changelog's latest entry is this version, signed by the contact.
gzip -dc "$doc/changelog.gz" >"$tmp/changelog"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's latest entry is not $version"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Maintainer)" = "$contact" ] ||
    fail "the changelog's latest entry is not signed by $contact"

# The copyright file's licence is the one in LICENSE, word for word.
sed -n '/^License: Expat$/,$p' "$doc/copyright" | tail -n +2 | sed 's/^ //; s/^\.$//' >"$tmp/licence"
tail -n +5 "$src/LICENSE" | diff - "$tmp/licence" >&2 || fail "the copyright's licence differs from LICENSE"
holder=$(sed -n 's/^Copyright (c) //p' "$src/LICENSE")
[ -n "$holder" ] && grep -qxF "Copyright: $holder" "$doc/copyright" ||
    fail "the copyright does not name LICENSE's holder: $holder"
echo "$(basename "$deb"): lintian clean; usr/bin/ravlox, usr/share/man/man1/ravlox.1.gz," \
    "usr/share/doc/ravlox/copyright and changelog.gz"
