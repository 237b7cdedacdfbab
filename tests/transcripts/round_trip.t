# Binary files around the block payload of 4092 bytes go in and come back
# byte for byte; seven blocks hold them exactly.
$ -c -s 28 -o d.img
| Created virtual disk image: d.img
| Data blocks count: 7
| Aviable data space: 28kB
| Real disk image size: 28909B
+ : > f0 && head -c 1 /dev/urandom > f1 && head -c 4092 /dev/urandom > f4092
+ head -c 4093 /dev/urandom > f4093 && head -c 8184 /dev/urandom > f8184
$ -o d.img -w f4093 f4093
$ -o d.img -w f0 f0
$ -o d.img -w f8184 f8184
$ -o d.img -w f1 f1
$ -o d.img -w f4092 f4092
$ -o d.img -m
| DISK STATUS
| DISK IMAGE: d.img
| MEMORY BLOCKS: 7
| MAX DATA SIZE: 28 kB
| REAL DISK SIZE: 28.23 kB
| MEMORY MAP: 
| *******
| MEMORY STATUS
| FREE DATA BLOCKS: 0
| DATA BLOCKS IN USE: 7
| FREE DATA SPACE: 0.00 kB
| USED DATA SPACE: 27.97 kB
| MEMORY USE: 100.0%
|   NR           FILE NAME      SIZE
|    1               f4093      4.00 kB
|    2                  f0      0.00 kB
|    3               f8184      7.99 kB
|    4                  f1      0.00 kB
|    5               f4092      4.00 kB
$ -o d.img -r g0 f0
| File g0 created succefully!
$ -o d.img -r g1 f1
| File g1 created succefully!
$ -o d.img -r g4092 f4092
| File g4092 created succefully!
$ -o d.img -r g4093 f4093
| File g4093 created succefully!
$ -o d.img -r g8184 f8184
| File g8184 created succefully!
+ cmp f0 g0 && cmp f1 g1 && cmp f4092 g4092 && cmp f4093 g4093 && cmp f8184 g8184
# freed blocks are zeroed and taken again lowest first
$ -o d.img -e f4093
| File f4093 removed from disk.
$ -o d.img -e f8184
| File f8184 removed from disk.
+ head -c 16368 /dev/urandom > f16368
$ -o d.img -w f16368 f16368
$ -o d.img -r g16368 f16368
| File g16368 created succefully!
+ cmp f16368 g16368
$ -o d.img -r g4092 f4092
| File g4092 created succefully!
+ cmp f4092 g4092
