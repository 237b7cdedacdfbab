# The console's commands, refusals and word reading. Each prompt ">" comes
# before the output of the command that follows it.
# the help screen; command words are matched whole and case-sensitively
$
< help
< Exit
< EXIT showfiles
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >>Korvane help:
| >Use commands to manage virtual file system
| >Aviable commands:
| >create [diskName] [diskSize] - create virtual disk image of specified name and size in kB
| >delete                       - delete mounted virtual disk image (and unmount it)
| >mount [diskName]             - mount disk image of specified name
| >unmount                      - unmount mounted disk image
| >showStat                     - show statistics for mounted disk image
| >showFiles                    - show files on mounted disk image
| >write [fileName] [filePath]  - copy file from hard drive to mounted disk
| >read [filePath] [fileName]   - copy file from mounted disk to hard drive
| >erase [fileName]             - erase file of specific name from mounted disk
| >exit                         - close console
| >help                         - show this help
| >Command not recognized! Try "help" for available commands.
| >Command not recognized! Try "help" for available commands.
| >Command not recognized! Try "help" for available commands.
| >\c
# with nothing mounted these refuse and leave their words to be read as commands
$
< showFiles showStat unmount delete
< erase x
< read a b
< write a.txt b.txt
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >There is no mounted disk
| >There is no mounted disk
| >There is no mounted disk
| >There is no mounted disk
| >There is no mounted disk
| >Command not recognized! Try "help" for available commands.
| >There is no mounted disk
| >Command not recognized! Try "help" for available commands.
| >Command not recognized! Try "help" for available commands.
| >There is no mounted disk
| >Command not recognized! Try "help" for available commands.
| >Command not recognized! Try "help" for available commands.
| >\c
# carriage returns, vertical tabs and form feeds are blanks too
$
< unmount
< showFilesexit
< showFiles
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >There is no mounted disk
| >There is no mounted disk
| >\c
# blanks, tabs and empty lines only separate words; lines mean nothing
+ printf hello > f && printf 'some text' > notes.txt
$
< 
< 	  create
< d.img
< 
<    64 	 
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: d.img
| Data blocks count: 16
| Aviable data space: 64kB
| Real disk image size: 66062B
| >\c
+ cp d.img d64.img
$
< create d.img 64 showFiles mount
< 
< 	d.img showFiles
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: d.img
| Data blocks count: 16
| Aviable data space: 64kB
| Real disk image size: 66062B
| >There is no mounted disk
| >Disk d.img mounted
| >  NR           FILE NAME      SIZE
| >\c
+ cmp d.img d64.img
# the console takes any size atoi gives; too big is refused by create itself
$
< create z.img abc create d.img -1 create d.img 4161661 exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Created virtual disk image: z.img
| Data blocks count: 0
| Aviable data space: 0kB
| Real disk image size: 12B
| >>>\c
! Disk size is too big! (Max size for disk is 4161660 kB)
! Disk size is too big! (Max size for disk is 4161660 kB)
+ cmp d.img d64.img
# a number past 32 bits is too big however it would wrap, and leading zeros
# add nothing
$
< create d.img 4294967296 create d.img 4294967300 create d.img 18446744073709551620
< create d.img 100000000000000000000000000004 create d.img -4294967295
< create o.img 000000000000000000000000000004 exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >>>>>>Created virtual disk image: o.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
| >\c
! Disk size is too big! (Max size for disk is 4161660 kB)
! Disk size is too big! (Max size for disk is 4161660 kB)
! Disk size is too big! (Max size for disk is 4161660 kB)
! Disk size is too big! (Max size for disk is 4161660 kB)
! Disk size is too big! (Max size for disk is 4161660 kB)
+ cmp d.img d64.img
# write waits for its two words without a prompt
$
< mount d.img
< write
< 
< f
< f
< showFiles exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >>  NR           FILE NAME      SIZE
|    1                   f      0.00 kB
| >\c
# mounting: a missing file is refused, a second mount too; any readable file will do
$
< mount x.img
< showFiles
< mount notes.txt
< mount d.img
< unmount
< unmount
< mount d.img
< mount d.img
< mount notes.txt
< showFiles
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >>There is no mounted disk
| >Disk notes.txt mounted
| >Unmount disk first
| >Disk unmounted
| >There is no mounted disk
| >Disk d.img mounted
| >Unmount disk first
| >Unmount disk first
| >  NR           FILE NAME      SIZE
|    1                   f      0.00 kB
| >\c
! Cannot open x.img disk image!
+ test ! -e x.img
# create works on any name whatever is mounted; the mounted one stays
$
< mount d.img create d.img 4 showStat create e.img 8 exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >Created virtual disk image: d.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
| >DISK STATUS
| DISK IMAGE: d.img
| MEMORY BLOCKS: 1
| MAX DATA SIZE: 4 kB
| REAL DISK SIZE: 4.04 kB
| MEMORY MAP: 
| _
| MEMORY STATUS
| FREE DATA BLOCKS: 1
| DATA BLOCKS IN USE: 0
| FREE DATA SPACE: 4.00 kB
| USED DATA SPACE: 0.00 kB
| MEMORY USE: 0.0%
|   NR           FILE NAME      SIZE
| >Created virtual disk image: e.img
| Data blocks count: 2
| Aviable data space: 8kB
| Real disk image size: 8269B
| >\c
# delete unmounts first, even when the removal fails
$
< mount d.img
< delete
< delete
< mount /proc/version
< delete
< showFiles
< mount e.img
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk d.img mounted
| >Disk d.img unmounted.
| Disk image d.img removed.
| >There is no mounted disk
| >Disk /proc/version mounted
| >Disk /proc/version unmounted.
| >There is no mounted disk
| >Disk e.img mounted
| >\c
! Cannot remove disk image!
+ test ! -e d.img && test -e e.img
# the operations' own refusals go to standard error; the console goes on
$
< mount e.img
< write abcdefghijklmnopqrst f
< write f nofile
< read out nope
< erase nope
< showFiles
< exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >Disk e.img mounted
| >>>>>  NR           FILE NAME      SIZE
| >\c
! File name is too long! (Max length for file name is 19)
! Cannot open file: nofile!
! File nope does not exist!
! File: nope does not exist!
+ test ! -e out
