# readFile and eraseFile: their messages, what they leave on the host, and
# chains that jump over the blocks of other files.
$ -c -s 16 -o d.img
| Created virtual disk image: d.img
| Data blocks count: 4
| Aviable data space: 16kB
| Real disk image size: 16525B
+ head -c 3000 /dev/urandom > A && head -c 4092 /dev/urandom > B && printf c > C && head -c 5000 /dev/urandom > D
$ -o d.img -w A A
$ -o d.img -w B B
$ -o d.img -w C C
+ cp d.img before.img
# the success line names the host path; an existing host file is replaced
+ head -c 9000 /dev/urandom > outB
$ -o d.img -r outB B
| File outB created succefully!
+ cmp outB B
# a name that is not stored leaves the host path exactly as it was
+ printf keep > kept
$ -o d.img -r kept nope
! File nope does not exist!
+ test "$(cat kept)" = keep
$ -o d.img -r new nope
! File nope does not exist!
+ test ! -e new
$ -o d.img -r new a
! File a does not exist!
$ -o d.img -r new abcdefghijklmnopqrstuvwxyz
! File abcdefghijklmnopqrstuvwxyz does not exist!
+ test ! -e new
# a missing image creates nothing
$ -o none.img -r new A
! Cannot open virtual disk image!
+ test ! -e new && test ! -e none.img
$ -o d.img -r nodir/x A
! Cannot create file: nodir/x!
+ test ! -e nodir
# reading into the image itself would destroy it
$ -o d.img -r d.img A
! Cannot read file into the virtual disk image itself!
$ -o d.img -r ./d.img A
! Cannot read file into the virtual disk image itself!
+ mkdir sub && ln -s d.img link.img
$ -o d.img -r sub/../d.img A
! Cannot read file into the virtual disk image itself!
$ -o d.img -r link.img A
! Cannot read file into the virtual disk image itself!
$ -o d.img -r sub A
! Cannot create file: sub!
$ -o d.img -r /dev/full A
! Cannot write file: /dev/full! (No space left on device)
+ cmp d.img before.img
# erase: the failure says "File:", the success "File"
$ -o none.img -e A
! Cannot open virtual disk image!
+ test ! -e none.img
$ -o d.img -e b
! File: b does not exist!
$ -o d.img -e abcdefghijklmnopqrstuvwxyz
! File: abcdefghijklmnopqrstuvwxyz does not exist!
+ cmp d.img before.img
$ -o d.img -e B
| File B removed from disk.
$ -o d.img -e B
! File: B does not exist!
$ -o d.img -r outB B
! File B does not exist!
+ cmp outB B
# D takes the freed block 1 and then block 3, jumping over C
$ -o d.img -w D D
$ -o d.img -m
| DISK STATUS
| DISK IMAGE: d.img
| MEMORY BLOCKS: 4
| MAX DATA SIZE: 16 kB
| REAL DISK SIZE: 16.14 kB
| MEMORY MAP: 
| ****
| MEMORY STATUS
| FREE DATA BLOCKS: 0
| DATA BLOCKS IN USE: 4
| FREE DATA SPACE: 0.00 kB
| USED DATA SPACE: 15.98 kB
| MEMORY USE: 100.0%
|   NR           FILE NAME      SIZE
|    1                   A      2.93 kB
|    2                   C      0.00 kB
|    3                   D      4.88 kB
$ -o d.img -r outD D
| File outD created succefully!
+ cmp outD D
# erasing D frees its own two blocks and no other
$ -o d.img -e D
| File D removed from disk.
$ -o d.img -m
| DISK STATUS
| DISK IMAGE: d.img
| MEMORY BLOCKS: 4
| MAX DATA SIZE: 16 kB
| REAL DISK SIZE: 16.14 kB
| MEMORY MAP: 
| *_*_
| MEMORY STATUS
| FREE DATA BLOCKS: 2
| DATA BLOCKS IN USE: 2
| FREE DATA SPACE: 7.99 kB
| USED DATA SPACE: 7.99 kB
| MEMORY USE: 50.0%
|   NR           FILE NAME      SIZE
|    1                   A      2.93 kB
|    2                   C      0.00 kB
$ -o d.img -r outA A
| File outA created succefully!
$ -o d.img -r outC C
| File outC created succefully!
+ cmp outA A && cmp outC C
# with the table empty no name is found, not even an erased one
$ -o d.img -e A
| File A removed from disk.
$ -o d.img -e C
| File C removed from disk.
$ -o d.img -r outC C
! File C does not exist!
$ -o d.img -e A
! File: A does not exist!
$ -o d.img -f
|   NR           FILE NAME      SIZE
# the longest name goes in, comes out and goes away like any other
$ -o d.img -w abcdefghijklmnopqrs B
$ -o d.img -r outL abcdefghijklmnopqrs
| File outL created succefully!
+ cmp outL B
$ -o d.img -e abcdefghijklmnopqrs
| File abcdefghijklmnopqrs removed from disk.
$ -o d.img -m
| DISK STATUS
| DISK IMAGE: d.img
| MEMORY BLOCKS: 4
| MAX DATA SIZE: 16 kB
| REAL DISK SIZE: 16.14 kB
| MEMORY MAP: 
| ____
| MEMORY STATUS
| FREE DATA BLOCKS: 4
| DATA BLOCKS IN USE: 0
| FREE DATA SPACE: 15.98 kB
| USED DATA SPACE: 0.00 kB
| MEMORY USE: 0.0%
|   NR           FILE NAME      SIZE
# erased blocks are zero again, the bitmap is clear and the table empty
+ test "$(tail -c 16384 d.img | tr -d '\000' | wc -c)" -eq 0
+ test "$(od -An -tx1 -j8 -N5 d.img | tr -d ' \n')" = 0d00000000
