#!/bin/sh
# A real mount: korvane -w's bytes for a copy in, then the other file operations,
# the errors users expect, and a clean check. Exits 77 (skipped) where FUSE
# cannot be used.
set -u
fs=$1 k=$2 fsck=$3
if ! (: <>/dev/fuse) 2>/dev/null || ! command -v fusermount3 >/dev/null; then
  echo "skipped: /dev/fuse cannot be opened or fusermount3 is missing"
  exit 77
fi
dir=$(mktemp -d)
trap 'for m in m s "n m"; do fusermount3 -uz "$dir/$m" 2>/dev/null; done
  kill ${tracer-} $watchdog 2>/dev/null; umount "$dir/ro" 2>/dev/null; rm -rf "$dir"' EXIT
cd "$dir" && mkdir m || exit 1
# A request never answered fails the test within a minute: the mounts are
# forced off, which fails every request waiting, and the daemons end.
(sleep 60 && for p in m s "n m"; do umount -f -c "$dir/$p"; done) >/dev/null 2>&1 & watchdog=$!
fail() { echo "FAIL: $*"; exit 1; }
refused() { # refused ERROR COMMAND...: the command fails with ERROR's text
  e=$1 && shift && ! "$@" 2>err && grep -q "$e" err || fail "$* (not refused with $e)"
}
# A second user, where one can be made: root mounts for everyone (allow_other),
# and the second mount's files are that user's.
owner=$(id -u) other=
if [ "$owner" = 0 ] && id nobody >/dev/null 2>&1; then
  owner=$(id -u nobody) other=,allow_other && chmod 755 "$dir"
else echo "skipped: rows as a second user (not root, or no user nobody)"; fi
# true when skipped; the user is in group 100 besides their own
as() { [ -z "$other" ] || setpriv --reuid=nobody --regid="$(id -g nobody)" --groups=100 sh -c "$*"; }

head -c 3000000 /dev/urandom >src && printf 'hello\n' >small
"$k" -c -s 8192 -o d.img >/dev/null && "$k" -w gap small -o d.img && "$k" -w keep small -o d.img
"$k" -e gap -o d.img >/dev/null
cp d.img twin.img
"$fs" d.img m -o rw$other || fail "mount"
"$fs" d.img m 2>&1 | grep -q 'd.img is in use' || fail "a second mount of the image"
refused "mounted on $dir/m" "$fsck" -n d.img
# /proc/mounts writes a blank as \040.
cp d.img 'x y.img' && mkdir 'n m' && "$fs" 'x y.img' 'n m' && refused "mounted on $dir/n m;" "$fsck" -n 'x y.img' &&
  fusermount3 -u 'n m' || fail "a mount of a name with a blank"

dd if=src of=m/big bs=1M conv=fsync status=none || fail "dd in"
cmp src m/big || fail "cat out differs"
[ "$(ls -U m | tr '\n' ' ')" = "keep big " ] || fail "listing: $(ls m)"
df m | grep -q ' 8184 ' || fail "df: $(df m)"
t=$(mktemp -p m) && echo secret >"$t" || fail mktemp
for c in 'echo x >>m/keep' 'rm m/keep' 'touch m/new' 'chmod 666 m/keep' "cat $t"; do
  [ -z "$other" ] || ! as "$c" 2>/dev/null || fail "as another user, $c"
done
rm "$t"
cp small m/a && rm m/a && cp small m/b && rm m/big || fail "cp and rm"
# A child closing its copy of the descriptor before the first write stores
# nothing; the last close stores the file within a second, mounted still.
{ /bin/true; sleep 1.2; cat small; } >m/d && sleep 1.5 && cp d.img peek.img &&
  "$k" -f -o peek.img | grep -q ' d ' || fail "a closed file not stored within a second"
cp small m/q && sync m && cp d.img peek.img && "$k" -f -o peek.img | grep -q ' q ' || fail "sync of the folder"
fusermount3 -u m || fail "unmount"
"$k" -w big src -o twin.img && "$k" -w a small -o twin.img && "$k" -e a -o twin.img >/dev/null &&
  "$k" -w b small -o twin.img && "$k" -e big -o twin.img >/dev/null && "$k" -w d small -o twin.img && "$k" -w q small -o twin.img
cmp d.img twin.img || fail "the image differs from korvane -w's and -e's"

# Through mount.fuse3, as mount -t fuse.korvanefs and an fstab line run it.
if command -v mount.fuse3 >/dev/null && [ "$(id -u)" = 0 ]; then
  mount -t fuse "$fs#$dir/d.img" m -o umask=022,uid=$(id -un $owner)$other || fail "mount -t fuse"
else
  "$fs" d.img m -o umask=022,uid=$(id -un $owner) || fail "second mount"
fi
[ "$(stat -c '%A %h %u %Y' m/keep)" = "-rwxr-xr-x 1 $owner $(stat -c %Y d.img)" ] ||
  fail "attributes: $(stat -c '%A %h %u %Y' m/keep d.img)"
as 'cp m/keep m/n && rm m/n' || fail "as the owner uid= names, cp and rm"
as "chgrp 100 m/keep && chgrp $(id -g nobody) m/keep" || fail "the owner giving a file to a group of theirs"
# What programs set and what they write shows as a folder shows it.
mkdir t && head -c 5000 src >t/p && chmod 600 t/p && printf 'x\n' >t/x && chmod 751 t/x &&
  touch -d @1000000000 t/p && touch -d @1200000000 t/x t || fail "a tree to copy"
kept() { # kept CLIENT...: the client copies t into m, keeping bytes, modes and times
  touch -d @1 m && "$@" >/dev/null && [ "$(stat -c %Y m)" = 1200000000 ] || return 1
  for f in p x; do
    cmp -s t/$f m/$f && [ "$(stat -c '%a %Y' t/$f)" = "$(stat -c '%a %Y' m/$f)" ] || return 1
  done && rm m/p m/x
}
tar cf t.tar -C t . && tar cf w.tar -C m . || fail "tar c"
kept cp -a t/. m/ || fail "cp -a"
kept tar xpf t.tar -C m || fail "tar xp"
if command -v rsync >/dev/null; then
  kept rsync -a t/ m/ && kept rsync -rt t/ m/ &&
    rsync -a t/ m/ && [ -z "$(rsync -ai t/ m/)" ] && rm m/p m/x || fail "rsync"
else echo "skipped: rsync rows (no rsync)"; fi
install -m 644 small m/i && [ "$(stat -c %a m/i)" = 644 ] && cp -p t/x m/cpp &&
  [ "$(stat -c '%a %Y' m/cpp)" = "751 1200000000" ] || fail "install -m, cp -p"
# (a second apart, past the kernel's cache of what a stat showed)
printf 'out: in\n\tcp in out\n' >m/Makefile && echo 1 >m/in && make -s -C m && sleep 1.1 && echo 2 >m/in &&
  make -s -C m && [ "$(cat m/out)" = 2 ] || fail "make after an edit"
if command -v vim >/dev/null; then  # its swap file's commit comes within the pause
  echo abc >m/v && vim -es -c 'sleep 1200m' -c s/a/X/ -c wq m/v && [ "$(cat m/v)" = Xbc ] ||
    fail "vim saving after a pause"
else echo "skipped: vim row (no vim)"; fi
echo x >m/log && { (for i in $(seq 200); do echo x >>m/log; done) & writer=$!; } &&
  tar cf w.tar -C m --exclude=log . ||
  fail "tar c beside a writer"
wait $writer && rm m/i m/cpp m/Makefile m/in m/out m/v m/log
for n in 0 1 4092 4093 2500000; do
  head -c $n src >s$n && cp s$n m/f$n && cmp s$n m/f$n || fail "a file of $n bytes"
done
sync m/f2500000 && printf x >>m/f2500000 && { cat s2500000 && printf x; } | cmp - m/f2500000 ||
  fail "append to a stored file of 2.5 MB"
ls -l m | grep -q ' 4093 .* f4093$' || fail "ls -l: $(ls -l m)"
cp small m/note && mv m/note m/renamed && cmp small m/renamed || fail "rename"
mv m/f1 m/renamed && cmp s1 m/renamed && [ ! -e m/f1 ] || fail "rename onto a file"
rm m/renamed && [ ! -e m/renamed ] || fail "rm"
printf 'x' >>m/keep && [ "$(cat m/keep)" = "hello
x" ] || fail "append"
truncate -s 6 m/keep && cmp small m/keep || fail "truncate"
cp m/keep m/was && printf hi >m/was && [ "$(cat m/was)" = hi ] || fail "a shell's > onto a file"
# A file open to read and write can be mapped shared, as databases map theirs.
if command -v python3 >/dev/null; then
  python3 -c 'import mmap, sys; f = open(sys.argv[1], "r+b"); m = mmap.mmap(f.fileno(), 0); m[0:1] = b"H"; m.flush()' \
    m/was && [ "$(cat m/was)" = Hi ] || fail "a shared mapping written"
else echo "skipped: a shared mapping (no python3)"; fi
touch m/keep || fail "touch"
# Changes to what a file shows already are accepted; others are refused.
chmod 755 m/keep && chown "$owner:$(id -g)" m/keep &&
  cp -p m/keep m/p && sed -i s/h/j/ m/p && gzip m/p && gunzip m/p.gz &&
  tar cf t.tar --owner=$owner --group=$(id -g) --mode=755 small &&
  tar xf t.tar --numeric-owner -C m && [ "$(cat m/p)" = jello ] || fail "no-op chmod, chown"
rm m/small m/p
refused 'not permitted' mkdir m/sub
# A file removed while open is gone; its descriptor's requests fail.
exec 3<>m/gone && rm m/gone && refused Stale cat <&3 && refused Stale cat small >&3 &&
  refused Stale stat -L /dev/fd/3 && exec 3>&- && [ ! -e m/gone ] || fail "removed while open"
refused 'not permitted' ln -s keep m/link
refused 'too long' touch m/aaaaaaaaaaaaaaaaaaaa
refused 'No space' dd if=/dev/zero of=m/full bs=1M count=40
# The write that meets the end takes what fits; fallocate takes zeros.
[ "$(stat -f -c %a m)" = 0 ] && ! tr -d '\0' <m/full | grep -q . || fail "bytes before ENOSPC"
rm m/full && fallocate -l 100000 m/full && fallocate -o 100000 -l 1 m/full &&
  [ "$(stat -c %s m/full)" = 100001 ] && ! tr -d '\0' <m/full | grep -q . || fail "fallocate"
rm m/full
shown=$(ls -U m | tr '\n' ' ')
fusermount3 -u m || fail "second unmount"
"$fsck" -n d.img >/dev/null || fail "fsck: $("$fsck" -n d.img)"
[ "$("$k" -f -o d.img | awk 'NR > 1 {print $2}' | tr '\n' ' ')" = "$shown" ] ||
  fail "stored after unmount: $("$k" -f -o d.img), shown: $shown"

# Read-only, under the shared lock korvane's listings take, from an image
# that cannot be written.
img=d.img && cp d.img was.img && [ "$(id -u)" = 0 ] && mkdir ro && mount --bind . ro &&
  mount -o remount,bind,ro ro && img=ro/d.img
"$fs" "$img" m -o ro,fmask=133,dmask=027 || fail "read-only mount of $img"
[ "$(stat -c %a m m/keep | tr '\n' ' ')" = "750 644 " ] || fail "fmask and dmask"
"$k" -f -o d.img 2>&1 | grep -q " keep " && cmp small m/keep || fail "korvane -f beside a read-only mount"
refused 'd.img is in use' "$fs" d.img m
refused 'Read-only' touch m/new
fusermount3 -u m && cmp d.img was.img || fail "the read-only mount changed the image"
refused 'cannot open missing.img (No such file or directory)' "$fs" missing.img m
"$fs" missing.img m 2>/dev/null; [ $? = 1 ] || fail "an image not opened exits 1"
refused 'usage: korvanefs' "$fs" d.img
refused 'uid=4294967296: no such user' "$fs" d.img m -o uid=4294967296
touch file && refused 'korvanefs: file: not a folder' "$fs" d.img file
[ "$("$fs" -h | grep -c usage)" = 1 ] && "$fs" -V | grep -qx 'korvanefs [0-9.]*' || fail "-h, -V"
# A new mount written at once stores the write while its read-ahead's stat of
# itself waits (held back here); a hang is ended after 20 s by an abort.
if command -v strace >/dev/null && [ "$(id -u)" = 0 ]; then  # a traced fusermount3 is no setuid
  "$k" -c -s 8192 -o e.img >/dev/null && mkdir s || fail "new image"
  strace -f -e inject=%%stat:delay_enter=2000000 -P "$dir/s" "$fs" e.img s 2>/dev/null & tracer=$!
  timeout 10 sh -c "until grep -q ' $(realpath s) ' /proc/mounts; do sleep .1; done" || fail strace
  { dd if=src of=s/x bs=1M count=1 conv=fsync status=none; echo $? >wrote; } &
  timeout 20 sh -c 'until [ -s wrote ]; do sleep .1; done' || umount -f -c "$dir/s"
  wait $! && grep -qx 0 wrote && head -c 1048576 src | cmp - s/x && fusermount3 -u s &&
    wait $tracer && tracer= || fail "a write at once into a new mount"
else echo "skipped: a write at once into a new mount (no strace, or not root)"; fi
echo "mount: ok"
