# -c alone makes the 4 kB default image out.img
$ -c
| Created virtual disk image: out.img
| Data blocks count: 1
| Aviable data space: 4kB
| Real disk image size: 4141B
+ test "$(wc -c < out.img)" -eq 4141
$ -m
| DISK STATUS
| DISK IMAGE: out.img
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
