#!/usr/bin/env bash
# What a user gets: the tree installed under a DESTDIR, its programs, every manual page
# rendered with warnings as errors, and the Debian package. Usage: $0 BUILT_FOLDER
set -euo pipefail
build=$(realpath "$1") list=$(realpath "$(dirname "$0")/install_files.txt")
dest=$(mktemp -d) && trap 'rm -rf "$dest"' EXIT
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
fail() { echo "install test: $*" >&2 && exit 1; }

# The mount program, its page and completion come only where it is built.
skip=korvanefs && grep -qs /korvanefs.dir "$build/CMakeFiles/TargetDirectories.txt" && skip='^$'
expected() { grep -v "$skip" "$list"; }
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
diff -u <(expected) <(cd "$dest" && find . ! -type d | sort) || fail "installed tree differs"
[ "$("$dest/usr/bin/korvane" -h | sed -n 1p)" = "Korvane v$version" ] || fail "korvane -h"
"$dest/usr/bin/fsck.korvane" -h | grep >/dev/null '^Usage: fsck.korvane' || fail "fsck.korvane -h"

for page in "$dest"/usr/share/man/man*/*.gz; do
  zcat "$page" | sed -n 1p | grep >/dev/null " \"korvane $version\" " || fail "$page: no release"
  [ -z "$(zcat "$page" | groff -ww -z -man 2>&1)" ] || fail "$page: groff warns"
  ! command -v mandoc >/dev/null || [ -z "$(zcat "$page" | mandoc -T lint 2>&1)" ] ||
    fail "$page: mandoc warns"
done

# What the console at a terminal keeps and reads is told, and the mount named.
for word in XDG_STATE_HOME 'korvanefs (1)' Ctrl-R Tab; do
  zcat "$dest/usr/share/man/man1/korvane.1.gz" | grep -qF "$word" || fail "korvane(1) lacks $word"
done

cmake --build "$build" --target package >/dev/null
deb=$build/korvane_${version}_$(dpkg --print-architecture).deb
dpkg-deb -I "$deb"
diff -u <(expected) <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort) ||
  fail "package contents differ"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
grep >/dev/null 'libc6 (>= ' <<<"$depends" || fail "dependencies not computed: $depends"
[ "$(nm -D "$dest/usr/bin/korvane" | grep -c ' U el_')" = 0 ] || fail "libedit linked, not loaded"
grep >/dev/null 'libedit2' <<<"$depends" || fail "libedit2, which korvane loads, is no dependency"
[ "$skip" != '^$' ] || grep >/dev/null '^fuse3, ' <<<"$depends" || fail "no fuse3 for fusermount3"
! command -v lintian >/dev/null || lintian --fail-on error "$deb" 2>/dev/null || fail "lintian"

# A configure that failed leaves a cache and no build files: make configures again.
src=$(dirname "$list")/.. again=$dest/again && mkdir "$again" && touch "$again/CMakeCache.txt"
make -s -C "$src" BUILD="$again" run ARGS=-h 2>&1 | grep >/dev/null "^Korvane v$version" ||
  fail "make run after a failed configure"
echo "install test: tree, programs, manual pages and package as expected"
