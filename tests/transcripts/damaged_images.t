# Files that are not sound images are refused with one line by every
# operation that opens one, and are never written to.
$ -c -o good.img
| Created virtual disk image: good.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
+ cp good.img good0.img && printf hello > h && : > empty.img && printf abc > three.img
# an empty file: each half of the status command refuses on its own
$ -m -o empty.img
! Virtual disk image is damaged! Run fsck.korvane empty.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane empty.img to check it (add -y to repair it).
$ -f -o empty.img
! Virtual disk image is damaged! Run fsck.korvane empty.img to check it (add -y to repair it).
$ -w x h -o empty.img
! Virtual disk image is damaged! Run fsck.korvane empty.img to check it (add -y to repair it).
$ -r out x -o empty.img
! Virtual disk image is damaged! Run fsck.korvane empty.img to check it (add -y to repair it).
$ -e x -o empty.img
! Virtual disk image is damaged! Run fsck.korvane empty.img to check it (add -y to repair it).
+ test ! -e out && test ! -s empty.img
# shorter than a header
$ -f -o three.img
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
# a name that looks like a switch is shown after "--"
+ cp three.img ./-t.img
$ -f -o -t.img
! Virtual disk image is damaged! Run fsck.korvane -- -t.img to check it (add -y to repair it).
$ -w x h -o three.img
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
$ -r out x -o three.img
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
+ test ! -e out && test "$(cat three.img)" = abc
# one byte shorter than its header says
+ head -c 4140 good.img > short.img && cp short.img short0.img
$ -m -o short.img
! Virtual disk image is damaged! Run fsck.korvane short.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane short.img to check it (add -y to repair it).
$ -w x h -o short.img
! Virtual disk image is damaged! Run fsck.korvane short.img to check it (add -y to repair it).
+ cmp short.img short0.img
# a full-length image whose header fields do not fit each other
+ cp good.img offset.img && printf '\056' | dd of=offset.img bs=1 seek=4 conv=notrunc 2>/dev/null
$ -f -o offset.img
! Virtual disk image is damaged! Run fsck.korvane offset.img to check it (add -y to repair it).
+ cp good.img end.img && printf '\115' | dd of=end.img bs=1 seek=8 conv=notrunc 2>/dev/null
$ -f -o end.img
! Virtual disk image is damaged! Run fsck.korvane end.img to check it (add -y to repair it).
+ cp good.img odd.img && printf '\016' | dd of=odd.img bs=1 seek=8 conv=notrunc 2>/dev/null
$ -e x -o odd.img
! Virtual disk image is damaged! Run fsck.korvane odd.img to check it (add -y to repair it).
+ cp good.img many.img && printf '\002' | dd of=many.img bs=1 seek=0 conv=notrunc 2>/dev/null
$ -m -o many.img
! Virtual disk image is damaged! Run fsck.korvane many.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane many.img to check it (add -y to repair it).
# a chain that links back to itself is neither followed nor freed
$ -w x h -o good.img
+ cp good.img loop.img && printf '\000\000\000\000' | dd of=loop.img bs=1 seek=4137 conv=notrunc 2>/dev/null
+ cp loop.img loop0.img
$ -r out x -o loop.img
! Virtual disk image is damaged! Run fsck.korvane loop.img to check it (add -y to repair it).
$ -e x -o loop.img
! Virtual disk image is damaged! Run fsck.korvane loop.img to check it (add -y to repair it).
+ cmp loop.img loop0.img
# a name field without its NUL shows its 20 bytes and nothing past them
+ cp good.img name.img && printf AAAAAAAAAAAAAAAAAAAA | dd of=name.img bs=1 seek=25 conv=notrunc 2>/dev/null
$ -f -o name.img
|   NR           FILE NAME      SIZE
|    1AAAAAAAAAAAAAAAAAAAA      0.00 kB
# the console mounts any readable file; the operations then refuse it
$
< mount three.img
< showStat
< showFiles
< write x h
< read out x
< erase x
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk three.img mounted
| >>>>>>\c
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
! Virtual disk image is damaged! Run fsck.korvane three.img to check it (add -y to repair it).
+ test ! -e out && test "$(cat three.img)" = abc
# bytes after the image's end are tolerated and never touched
+ head -c 4141 good0.img > long.img && printf x >> long.img
$ -w x h -o long.img
$ -f -o long.img
|   NR           FILE NAME      SIZE
|    1                   x      0.00 kB
+ test "$(wc -c < long.img)" -eq 4142 && test "$(tail -c 1 long.img)" = x
