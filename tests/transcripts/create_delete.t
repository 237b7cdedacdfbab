# Creating images of several sizes, over old files and where it cannot be
# done; deleting images and other files.
# every started 4 kB gives one block: 1, 2 and 3 kB give the 4 kB image
$ -c -s 1 -o s1.img
| Created virtual disk image: s1.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
$ -c -s 2 -o s2.img
| Created virtual disk image: s2.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
$ -c -s 3 -o s3.img
| Created virtual disk image: s3.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
$ -c -s 4 -o s4.img
| Created virtual disk image: s4.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
+ cmp s1.img s2.img && cmp s1.img s3.img && cmp s1.img s4.img
+ test "$(od -An -tx1 -N16 s1.img | tr -d ' \n')" = 010000002d0000000d00000000000000
$ -c -s 5 -o s5.img
| Created virtual disk image: s5.img
| Data blocks count: 2
| Aviable data space: 8kB
| Real disk image size: 8269B
+ test "$(wc -c < s5.img)" -eq 8269
$ -c -s 1024 -o big.img
| Created virtual disk image: big.img
| Data blocks count: 256
| Aviable data space: 1024kB
| Real disk image size: 1056812B
+ test "$(wc -c < big.img)" -eq 1056812
+ test "$(od -An -tx1 -N12 big.img | tr -d ' \n')" = 000100002c2000002c000000
# the console passes size 0 on: the image is the 12-byte header alone
$
< create zero.img 0
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: zero.img
| Data blocks count: 0
| Aviable data space: 0kB
| Real disk image size: 12B
| >\c
+ test "$(od -An -tx1 zero.img | tr -d ' \n')" = 000000000c0000000c000000
# creating over an existing file leaves nothing of the old content
+ head -c 10000 /dev/urandom > old.img
$ -c -s 5 -o old.img
| Created virtual disk image: old.img
| Data blocks count: 2
| Aviable data space: 8kB
| Real disk image size: 8269B
+ cmp old.img s5.img
$ -c -o big.img
| Created virtual disk image: big.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
+ cmp big.img s1.img
# a name that cannot be opened for writing creates nothing
$ -c -o nodir/d.img
! Cannot create virtual disk image!
+ test ! -e nodir
+ mkdir folder
$ -c -o folder
! Cannot create virtual disk image!
+ test -d folder
# delete removes any host file, image or not
$ -d -o s1.img
| Disk image s1.img removed.
+ test ! -e s1.img
$ -d -o s1.img
! Cannot remove disk image!
+ printf 'not an image' > notes.txt
$ -o notes.txt -d
| Disk image notes.txt removed.
+ test ! -e notes.txt
$ -d -o nodir/d.img
! Cannot remove disk image!
# a directory, empty or not, or a pipe is no image and is not removed; a
# link to a file is removed, and the file stays
+ mkdir empty && mkfifo pipe && printf x > target && ln -s target link && ln -s empty dirlink
$ -d -o empty
! Cannot remove disk image!
$ -d -o pipe
! Cannot remove disk image!
$ -d -o dirlink
! Cannot remove disk image!
$ -d -o link
| Disk image link removed.
+ test -d empty && test -p pipe && test -L dirlink && test ! -e link && test -f target
$
< mount empty
< delete
< mount dirlink
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >>There is no mounted disk
| >>\c
! Cannot open empty disk image!
! Cannot open dirlink disk image!
+ test -d empty
$ -c
| Created virtual disk image: out.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
$ -d
| Disk image out.img removed.
+ test ! -e out.img
$ -d
! Cannot remove disk image!
