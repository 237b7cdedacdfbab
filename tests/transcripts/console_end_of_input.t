# End of input ends the console quietly wherever it waits; a command whose
# words are cut off is not run. A last word needs no line end.
$
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
$
< create d.img 4\c
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: d.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
| >\c
+ printf hello > f && cp d.img fresh.img
$
< mount d.img
< write
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >\c
$
< mount d.img
< write f
< 
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >\c
+ cmp d.img fresh.img
$
< create n.img
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
$
< create\c
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
+ test ! -e n.img
$
< mount 
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
$
< mount d.img write f f showFiles\c
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >>  NR           FILE NAME      SIZE
|    1                   f      0.00 kB
| >\c
$
< mount d.img read out f\c
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >File out created succefully!
| >\c
+ cmp out f && rm out
$
< mount d.img
< read out
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >\c
$
< mount d.img
< read
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >\c
+ test ! -e out
$
< mount d.img
< erase
< 
< 
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >\c
# with nothing mounted erase reads no word: the console waits for a command
$
< erase
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >There is no mounted disk
| >\c
$ -f -o d.img
|   NR           FILE NAME      SIZE
|    1                   f      0.00 kB
