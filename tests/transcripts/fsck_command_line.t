# fsck.korvane's command line: 0 for help or a clean image, 16 for a usage
# error, 8 for an image it cannot open.
$ -c -o f.img
| Created virtual disk image: f.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
+ fsck.korvane -h >/dev/null && fsck.korvane -fp f.img >/dev/null && fsck.korvane -a f.img >/dev/null
+ fsck.korvane >/dev/null 2>&1; test $? = 16
+ fsck.korvane -n -y f.img >/dev/null 2>&1; test $? = 16
+ fsck.korvane -x f.img >/dev/null 2>&1; test $? = 16
+ fsck.korvane f.img f.img >/dev/null 2>&1; test $? = 16
+ fsck.korvane missing.img >/dev/null 2>&1; test $? = 8
