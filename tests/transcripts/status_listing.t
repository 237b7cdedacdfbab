# The status report and the file listing: figures, the block map, row
# layout, and the messages for a missing image.
# ten blocks holding one file of 10,000 bytes in blocks 0 to 2
$ -c -s 40 -o d.img
| Created virtual disk image: d.img
| Data blocks count: 10
| Aviable data space: 40kB
| Real disk image size: 41294B
+ head -c 10000 /dev/urandom > notes
$ -w notes notes -o d.img
$ -m -o d.img
| DISK STATUS
| DISK IMAGE: d.img
| MEMORY BLOCKS: 10
| MAX DATA SIZE: 40 kB
| REAL DISK SIZE: 40.32 kB
| MEMORY MAP: 
| ***_______
| MEMORY STATUS
| FREE DATA BLOCKS: 7
| DATA BLOCKS IN USE: 3
| FREE DATA SPACE: 27.97 kB
| USED DATA SPACE: 11.99 kB
| MEMORY USE: 30.0%
|   NR           FILE NAME      SIZE
|    1               notes      9.77 kB
# nine blocks: the map shows exactly nine, two of them in use
$ -c -s 36 -o n.img
| Created virtual disk image: n.img
| Data blocks count: 9
| Aviable data space: 36kB
| Real disk image size: 37166B
+ head -c 8184 /dev/urandom > two
$ -o n.img -w two two
$ -o n.img -m
| DISK STATUS
| DISK IMAGE: n.img
| MEMORY BLOCKS: 9
| MAX DATA SIZE: 36 kB
| REAL DISK SIZE: 36.29 kB
| MEMORY MAP: 
| **_______
| MEMORY STATUS
| FREE DATA BLOCKS: 7
| DATA BLOCKS IN USE: 2
| FREE DATA SPACE: 27.97 kB
| USED DATA SPACE: 7.99 kB
| MEMORY USE: 22.2%
|   NR           FILE NAME      SIZE
|    1                 two      7.99 kB
# only block 8 in use: the map runs in block order, low bit first
+ head -c 32736 /dev/urandom > eight && : > last
$ -o n.img -e two
| File two removed from disk.
$ -o n.img -w eight eight
$ -o n.img -w last last
$ -o n.img -e eight
| File eight removed from disk.
$ -o n.img -m
| DISK STATUS
| DISK IMAGE: n.img
| MEMORY BLOCKS: 9
| MAX DATA SIZE: 36 kB
| REAL DISK SIZE: 36.29 kB
| MEMORY MAP: 
| ________*
| MEMORY STATUS
| FREE DATA BLOCKS: 8
| DATA BLOCKS IN USE: 1
| FREE DATA SPACE: 31.97 kB
| USED DATA SPACE: 4.00 kB
| MEMORY USE: 11.1%
|   NR           FILE NAME      SIZE
|    1                last      0.00 kB
# 1024 kB: the real size leaves out the bitmap, free space counts payload only
$ -c -s 1024 -o big.img
| Created virtual disk image: big.img
| Data blocks count: 256
| Aviable data space: 1024kB
| Real disk image size: 1056812B
$ -m -o big.img
| DISK STATUS
| DISK IMAGE: big.img
| MEMORY BLOCKS: 256
| MAX DATA SIZE: 1024 kB
| REAL DISK SIZE: 1032.01 kB
| MEMORY MAP: 
| ________________________________________________________________________________________________________________________________________________________________________________________________________________________________________________________________
| MEMORY STATUS
| FREE DATA BLOCKS: 256
| DATA BLOCKS IN USE: 0
| FREE DATA SPACE: 1023.00 kB
| USED DATA SPACE: 0.00 kB
| MEMORY USE: 0.0%
|   NR           FILE NAME      SIZE
# no blocks at all: an empty map line and no use
$
< create zero.img 0
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: zero.img
| Data blocks count: 0
| Aviable data space: 0kB
| Real disk image size: 12B
| >\c
$ -m -o zero.img
| DISK STATUS
| DISK IMAGE: zero.img
| MEMORY BLOCKS: 0
| MAX DATA SIZE: 0 kB
| REAL DISK SIZE: 0.01 kB
| MEMORY MAP: 
|
| MEMORY STATUS
| FREE DATA BLOCKS: 0
| DATA BLOCKS IN USE: 0
| FREE DATA SPACE: 0.00 kB
| USED DATA SPACE: 0.00 kB
| MEMORY USE: 0.0%
|   NR           FILE NAME      SIZE
# rows: write order, sizes in kB with two decimals, the longest name
+ : > empty && printf 12345 > five && printf 123456 > six && head -c 1024 /dev/zero > kilo
$ -o d.img -w zzz empty
$ -o d.img -w five five
$ -o d.img -w abcdefghijklmnopqrs six
$ -o d.img -w kilo kilo
$ -o d.img -f
|   NR           FILE NAME      SIZE
|    1               notes      9.77 kB
|    2                 zzz      0.00 kB
|    3                five      0.00 kB
|    4 abcdefghijklmnopqrs      0.01 kB
|    5                kilo      1.00 kB
# rows are numbered anew after an erase, the order kept
$ -o d.img -e notes
| File notes removed from disk.
$ -o d.img -e five
| File five removed from disk.
$ -o d.img -f
|   NR           FILE NAME      SIZE
|    1                 zzz      0.00 kB
|    2 abcdefghijklmnopqrs      0.01 kB
|    3                kilo      1.00 kB
# a missing image: both halves of the status command say so, in their words
$ -m -o none.img
! Cannot open virual disk image!
! Cannot open virtual disk image!
$ -f -o none.img
! Cannot open virtual disk image!
+ test ! -e none.img
