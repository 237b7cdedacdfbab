#!/bin/sh
# A real mount: korvane -w's bytes for a copy in, then the other file operations
# and a clean check. Exits 77 (skipped) where FUSE cannot be used.
set -u
fs=$1 k=$2 fsck=$3
if ! (: <>/dev/fuse) 2>/dev/null || ! command -v fusermount3 >/dev/null; then
  echo "skipped: /dev/fuse cannot be opened or fusermount3 is missing"
  exit 77
fi
dir=$(mktemp -d)
trap 'fusermount3 -uz "$dir/m" 2>/dev/null; rm -rf "$dir"' EXIT
cd "$dir" && mkdir m || exit 1
fail() { echo "FAIL: $*"; exit 1; }

head -c 3000000 /dev/urandom >src && printf 'hello\n' >small
"$k" -c -s 8192 -o d.img >/dev/null && "$k" -w gap small -o d.img && "$k" -w keep small -o d.img
"$k" -e gap -o d.img >/dev/null
cp d.img twin.img
"$fs" d.img m || fail "mount"

dd if=src of=m/big bs=1M conv=fsync status=none || fail "dd in"
cmp src m/big || fail "cat out differs"
[ "$(ls m | tr '\n' ' ')" = "big keep " ] || fail "listing: $(ls m)"
df m | grep -q ' 8184 ' || fail "df: $(df m)"
fusermount3 -u m || fail "unmount"
"$k" -w big src -o twin.img
cmp d.img twin.img || fail "the image differs from korvane -w's"

"$fs" d.img m || fail "second mount"
cp small m/note && mv m/note m/renamed && cmp small m/renamed || fail "rename"
rm m/renamed && [ ! -e m/renamed ] || fail "rm"
: >m/empty && [ -f m/empty ] && [ ! -s m/empty ] || fail "empty file"
printf 'x' >>m/keep && [ "$(cat m/keep)" = "hello
x" ] || fail "append"
truncate -s 6 m/keep && cmp small m/keep || fail "truncate"
touch m/keep || fail "touch"
mkdir m/sub 2>/dev/null && fail "mkdir succeeded"
a=$(printf 'a%.0s' 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20)
touch "m/$a" 2>/dev/null && fail "a 20-byte name was taken"
fusermount3 -u m || fail "second unmount"
"$fsck" d.img >/dev/null || fail "fsck: $("$fsck" d.img)"
[ "$("$k" -f -o d.img | awk 'NR > 1 {print $2}' | tr '\n' ' ')" = "keep big empty " ] ||
  fail "stored after unmount: $("$k" -f -o d.img)"
"$fs" missing.img m 2>&1 | grep -q 'cannot open missing.img' || fail "missing image"
echo "mount: ok"
