# The help screen and the three argument errors. The scan goes left to right
# and stops at the first fault, so only the leftmost one is reported.
$ -h
| Korvane v1.0.0
| Run app for commands console or use it with arguments to achieve your goals.
| Aviable arguments:
| -c                       Create new virtual disk image
| -d                       Deletes virtual disk image
| -m                       Show disk status
| -s [size]                Specify size of virtual disk image
| -o [name]                Specify name of virtual disk image
| -f                       Show files on virtual disk
| -w [fileName] [filePath] Copy file from hard drive to disk image
| -r [filePath] [fileName] Copy file from disk image to hard drive
| -e [fileName]            Erase file from disk image
| -h                       Show this help
# -h ends the run at once, even after an operation was chosen
$ -c -h
| Korvane v1.0.0
| Run app for commands console or use it with arguments to achieve your goals.
| Aviable arguments:
| -c                       Create new virtual disk image
| -d                       Deletes virtual disk image
| -m                       Show disk status
| -s [size]                Specify size of virtual disk image
| -o [name]                Specify name of virtual disk image
| -f                       Show files on virtual disk
| -w [fileName] [filePath] Copy file from hard drive to disk image
| -r [filePath] [fileName] Copy file from disk image to hard drive
| -e [fileName]            Erase file from disk image
| -h                       Show this help
+ test ! -e out.img
# switches are matched whole and case-sensitively
$ -x -h
! Not recognized argument passed! Try -h for help and usage.
$ -C
! Not recognized argument passed! Try -h for help and usage.
$ -cx
! Not recognized argument passed! Try -h for help and usage.
$ --c
! Not recognized argument passed! Try -h for help and usage.
$ ''
! Not recognized argument passed! Try -h for help and usage.
+ test ! -e out.img
# a second operation is refused where it stands; nothing runs
$ -c -d
! Incorrect arguments set! Cannot do more than one operation at time.
+ test ! -e out.img
$ -c -x -d
! Not recognized argument passed! Try -h for help and usage.
$ -c -d -x -h
! Incorrect arguments set! Cannot do more than one operation at time.
$ -w a b -r c d
! Incorrect arguments set! Cannot do more than one operation at time.
$ -f -m
! Incorrect arguments set! Cannot do more than one operation at time.
$ -e a -e b
! Incorrect arguments set! Cannot do more than one operation at time.
$ -c -s 0 -h
! Not proper virtual disk size passed!
$ -c -s 0 -d
! Not proper virtual disk size passed!
$ -c -d -s 0
! Incorrect arguments set! Cannot do more than one operation at time.
+ test ! -e out.img
# the errors stop the run before anything is touched
+ printf keep > out.img
$ -d -x
! Not recognized argument passed! Try -h for help and usage.
$ -c -m
! Incorrect arguments set! Cannot do more than one operation at time.
+ test "$(cat out.img)" = keep
