# Host files with no length to measure are read to their end: pipes,
# devices, and files the host shows as empty though they hold bytes.
$ -c -s 12 -o d.img
| Created virtual disk image: d.img
| Data blocks count: 3
| Aviable data space: 12kB
| Real disk image size: 12397B
$ -o d.img -w empty /dev/null
+ cat /proc/version > version && head -c 8184 /dev/urandom > fit && head -c 8185 /dev/zero > over
$ -o d.img -w version /proc/version
$ -o d.img -r copy version
| File copy created succefully!
+ cmp copy version
$ -o d.img -e version
| File version removed from disk.
# a pipe exactly as long as the free space fits; one byte more is rolled back
+ cat fit | korvane -o d.img -w fit /dev/stdin && cp d.img full.img
$ -o d.img -r copy fit
| File copy created succefully!
+ cmp copy fit
$ -o d.img -e fit
| File fit removed from disk.
+ cp d.img before.img && cat over | korvane -o d.img -w over /dev/stdin 2> err
+ printf 'Not enought space on disk for file: over\n' | cmp - err && cmp d.img before.img
$ -o d.img -f
|   NR           FILE NAME      SIZE
|    1               empty      0.00 kB
# a full image refuses a pipe before reading it
+ cp full.img d.img && printf x | korvane -o d.img -w x /dev/stdin 2> err
+ printf 'Not enought space on disk for file: x\n' | cmp - err && cmp d.img full.img
# standard output named as the target: the copy, then the line after it
+ cp before.img d.img && korvane -o d.img -w fit fit
+ korvane -o d.img -r /dev/stdout fit > out && head -c 8184 out | cmp - fit
+ tail -c +8185 out > line && printf 'File /dev/stdout created succefully!\n' | cmp - line
+ ln -s out link && korvane -o d.img -r /dev/fd/1 fit > link && head -c 8184 out | cmp - fit
+ korvane -o d.img -r link fit > out && head -c 8184 out | cmp - fit
+ tail -c +8185 out > line && printf 'File link created succefully!\n' | cmp - line
# what cannot hold an image is refused at once, never waited on
+ mkfifo fifo && mkdir folder
$ -o fifo -f
! Cannot open virtual disk image!
$ -o fifo -m
! Cannot open virual disk image!
! Cannot open virtual disk image!
$ -o fifo -w a fit
! Cannot open virtual disk image!
$ -o fifo -r a fit
! Cannot open virtual disk image!
$ -o fifo -e fit
! Cannot open virtual disk image!
$ -o fifo -c
! Cannot create virtual disk image!
$ -o folder -f
! Cannot open virtual disk image!
$ -o /dev/null -e fit
! Cannot open virtual disk image!
$
< mount fifo mount /dev/null exit
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >>>\c
! Cannot open fifo disk image!
! Cannot open /dev/null disk image!
+ timeout 10 fsck.korvane -n fifo; test $? = 8
$ -o d.img -w a folder
! Cannot open file: folder!
