# A whole console session from creating an image to deleting it.
+ head -c 5000 /dev/urandom > report.txt && : > empty.dat
$
< create disk.img 20
< mount disk.img
< write report.txt report.txt
< write empty.dat empty.dat
< showFiles
< read copy.txt report.txt
< erase empty.dat
< erase empty.dat
< showStat
< unmount
< showFiles
< mount disk.img
< delete
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: disk.img
| Data blocks count: 5
| Aviable data space: 20kB
| Real disk image size: 20653B
| >Disk disk.img mounted
| >>>  NR           FILE NAME      SIZE
|    1          report.txt      4.88 kB
|    2           empty.dat      0.00 kB
| >File copy.txt created succefully!
| >File empty.dat removed from disk.
| >>DISK STATUS
| DISK IMAGE: disk.img
| MEMORY BLOCKS: 5
| MAX DATA SIZE: 20 kB
| REAL DISK SIZE: 20.17 kB
| MEMORY MAP: 
| **___
| MEMORY STATUS
| FREE DATA BLOCKS: 3
| DATA BLOCKS IN USE: 2
| FREE DATA SPACE: 11.99 kB
| USED DATA SPACE: 7.99 kB
| MEMORY USE: 40.0%
|   NR           FILE NAME      SIZE
|    1          report.txt      4.88 kB
| >Disk unmounted
| >There is no mounted disk
| >Disk disk.img mounted
| >Disk disk.img unmounted.
| Disk image disk.img removed.
| >\c
! File: empty.dat does not exist!
+ cmp copy.txt report.txt && test ! -e disk.img
# exit forgets a mounted image without a word
$
< create disk.img 4 mount disk.img exit showFiles
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: disk.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
| >Disk disk.img mounted
| >\c
