# writeFile's refusals, in the order it checks them: name length, host file,
# image, free space, duplicate name. A refusal leaves the image unchanged.
+ printf abc > a.txt && head -c 4093 /dev/urandom > two && : > empty && mkdir folder
# 20 bytes is too long, and nothing is opened to find that out
$ -w abcdefghijklmnopqrst nofile -o none.img
! File name is too long! (Max length for file name is 19)
$ -w éééééééééé nofile -o none.img
! File name is too long! (Max length for file name is 19)
$ -c -s 12 -o d.img
| Created virtual disk image: d.img
| Data blocks count: 3
| Aviable data space: 12kB
| Real disk image size: 12397B
+ cp d.img fresh.img
$ -o d.img -w abcdefghijklmnopqrst a.txt
! File name is too long! (Max length for file name is 19)
$ -o d.img -w abcdefghijklmnopqrst d.img
! File name is too long! (Max length for file name is 19)
# the host file is opened before the image
$ -o none.img -w a nofile
! Cannot open file: nofile!
$ -o none.img -w a a.txt
! Cannot open virtual disk image!
+ test ! -e none.img
$ -o d.img -w a nofile
! Cannot open file: nofile!
$ -o d.img -w a folder
! Cannot open file: folder!
# a host file that cannot be read is named, with the system's reason
$ -o d.img -w a /proc/self/mem
! Cannot read file: /proc/self/mem! (Input/output error)
$ -o d.img -w a d.img
! Cannot write virtual disk image into itself!
$ -o d.img -w a ./d.img
! Cannot write virtual disk image into itself!
$ -o ./d.img -w a d.img
! Cannot write virtual disk image into itself!
+ cmp d.img fresh.img
# names are case-sensitive; a stored name cannot be stored twice
$ -o d.img -w a.txt a.txt
$ -o d.img -w A.txt a.txt
$ -o d.img -w a.txt empty
! File a.txt already exist on disk!
+ cp d.img before.img
# one block free: a two-block file is one short; lack of space is told first
$ -o d.img -w x two
! Not enought space on disk for file: x
$ -o d.img -w a.txt two
! Not enought space on disk for file: a.txt
+ cmp d.img before.img
# the empty name is a name like any other and fills the last block
$ -o d.img -w '' a.txt
$ -o d.img -f
|   NR           FILE NAME      SIZE
|    1               a.txt      0.00 kB
|    2               A.txt      0.00 kB
|    3                          0.00 kB
# an empty file still needs a block
$ -o d.img -w e empty
! Not enought space on disk for file: e
$ -o d.img -w '' empty
! Not enought space on disk for file: 
# an erased name can be written again
$ -o d.img -e a.txt
| File a.txt removed from disk.
$ -o d.img -w a.txt empty
$ -o d.img -f
|   NR           FILE NAME      SIZE
|    1               A.txt      0.00 kB
|    2                          0.00 kB
|    3               a.txt      0.00 kB
# exact fit is accepted, a byte more is not
$ -c -s 8 -o two.img
| Created virtual disk image: two.img
| Data blocks count: 2
| Aviable data space: 8kB
| Real disk image size: 8269B
+ cp two.img fresh2.img && head -c 8184 /dev/urandom > fits && head -c 8185 /dev/urandom > over
$ -o two.img -w over over
! Not enought space on disk for file: over
+ cmp two.img fresh2.img
$ -o two.img -w fits fits
$ -o two.img -m
| DISK STATUS
| DISK IMAGE: two.img
| MEMORY BLOCKS: 2
| MAX DATA SIZE: 8 kB
| REAL DISK SIZE: 8.07 kB
| MEMORY MAP: 
| **
| MEMORY STATUS
| FREE DATA BLOCKS: 0
| DATA BLOCKS IN USE: 2
| FREE DATA SPACE: 0.00 kB
| USED DATA SPACE: 7.99 kB
| MEMORY USE: 100.0%
|   NR           FILE NAME      SIZE
|    1                fits      7.99 kB
