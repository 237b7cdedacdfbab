# A switch with too few values after it at the end of the arguments is
# refused by name and nothing runs.
+ printf data > f
$ -c
| Created virtual disk image: out.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
+ cp out.img fresh.img
$ -w
! Missing value for argument -w! Try -h for help and usage.
$ -w a
! Missing value for argument -w! Try -h for help and usage.
$ -r
! Missing value for argument -r! Try -h for help and usage.
$ -r x
! Missing value for argument -r! Try -h for help and usage.
$ -e
! Missing value for argument -e! Try -h for help and usage.
$ -o
! Missing value for argument -o! Try -h for help and usage.
$ -f -o
! Missing value for argument -o! Try -h for help and usage.
$ -c -s
! Missing value for argument -s! Try -h for help and usage.
$ -o f -c -s
! Missing value for argument -s! Try -h for help and usage.
+ test "$(cat f)" = data && test ! -e x && cmp out.img fresh.img
# -w a f would be complete: the -o after it is what lacks a value
$ -w a f -o
! Missing value for argument -o! Try -h for help and usage.
+ cmp out.img fresh.img
# a second operation is reported before its missing values
$ -c -e
! Incorrect arguments set! Cannot do more than one operation at time.
$ -m -w a
! Incorrect arguments set! Cannot do more than one operation at time.
$ -e a -r
! Incorrect arguments set! Cannot do more than one operation at time.
# the leftmost fault wins
$ -x -w
! Not recognized argument passed! Try -h for help and usage.
$ -c -s 0 -o
! Not proper virtual disk size passed!
# a lone -s with no operation passes over and the console starts
$ -o a.img -s
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >\c
+ cmp out.img fresh.img && test ! -e a.img
