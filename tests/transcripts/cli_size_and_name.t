# -s counts only after -c; -o names the image, the last one wins; values
# after a switch are never taken as switches.
$ -c -s 100 -o a.img
| Created virtual disk image: a.img
| Data blocks count: 25
| Aviable data space: 100kB
| Real disk image size: 103216B
+ test "$(wc -c < a.img)" -eq 103216
$ -o b.img -c -s 100
| Created virtual disk image: b.img
| Data blocks count: 25
| Aviable data space: 100kB
| Real disk image size: 103216B
+ cmp a.img b.img
# before -c the -s is passed over and its value is a stray argument
$ -s 100 -c
! Not recognized argument passed! Try -h for help and usage.
$ -m -s 5
! Not recognized argument passed! Try -h for help and usage.
+ test ! -e out.img
# atoi: no leading digits gives 0, which is refused
$ -c -s 0
! Not proper virtual disk size passed!
$ -c -s abc
! Not proper virtual disk size passed!
$ -c -s -x
! Not proper virtual disk size passed!
$ -c -s ''
! Not proper virtual disk size passed!
+ test ! -e out.img
# atoi takes the leading number
$ -c -s 12kB
| Created virtual disk image: out.img
| Data blocks count: 3
| Aviable data space: 12kB
| Real disk image size: 12397B
$ -c -s ' +7'
| Created virtual disk image: out.img
| Data blocks count: 2
| Aviable data space: 8kB
| Real disk image size: 8269B
$ -c -s 50 -s 70
| Created virtual disk image: out.img
| Data blocks count: 18
| Aviable data space: 72kB
| Real disk image size: 74319B
+ test "$(wc -c < out.img)" -eq 74319
+ cp out.img keep.img
# sizes past what 32-bit offsets can address are refused and touch nothing
$ -c -s 4161661
! Disk size is too big! (Max size for disk is 4161660 kB)
$ -c -s -1
! Disk size is too big! (Max size for disk is 4161660 kB)
# however many digits, and wherever cutting to 32 bits would land
$ -c -s 4294967296
! Disk size is too big! (Max size for disk is 4161660 kB)
$ -c -s 4294967300
! Disk size is too big! (Max size for disk is 4161660 kB)
$ -c -s 18446744073709551617
! Disk size is too big! (Max size for disk is 4161660 kB)
$ -c -s 100000000000000000000000000004
! Disk size is too big! (Max size for disk is 4161660 kB)
$ -c -s -4294967295
! Disk size is too big! (Max size for disk is 4161660 kB)
$ -c -s -100000000000000000000000000000
! Disk size is too big! (Max size for disk is 4161660 kB)
+ cmp out.img keep.img
$ -c -s 000000000000000000000000000004 -o z.img
| Created virtual disk image: z.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
# the last -o wins: the listing is of b, and a missing "a" is never opened
$ -o nothere -o a.img -f
|   NR           FILE NAME      SIZE
$ -o a.img -o nothere -f
! Cannot open virtual disk image!
# -w takes its two values as they are, dashes included
+ printf hello > -h
$ -o a.img -w -c -h
$ -o a.img -f
|   NR           FILE NAME      SIZE
|    1                  -c      0.00 kB
$ -r -d -c -o a.img
| File -d created succefully!
+ cmp -- -d -h
$ -e -m -o a.img
! File: -m does not exist!
# no operation chosen: the console starts with nothing mounted
$ -s
< showFiles
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >There is no mounted disk
| >\c
$ -o a.img
< showFiles
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >There is no mounted disk
| >\c
$ -o -c
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
$ -o -h -s -o x
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
+ test ! -e -c && test ! -e x
# without -o everything works on out.img; -w and -r take their words in
# opposite orders
+ mkdir docs && printf 'meeting at ten' > docs/notes.txt
$ -c
| Created virtual disk image: out.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
$ -w notes.txt docs/notes.txt
$ -r docs/copy.txt notes.txt
| File docs/copy.txt created succefully!
+ cmp docs/copy.txt docs/notes.txt
$ -f
|   NR           FILE NAME      SIZE
|    1           notes.txt      0.01 kB
$ -e notes.txt
| File notes.txt removed from disk.
$ -r docs/copy.txt notes.txt -o a.img
! File notes.txt does not exist!
$ -d
| Disk image out.img removed.
