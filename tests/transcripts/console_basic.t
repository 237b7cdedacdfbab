# end of input ends the console quietly
$
< showFiles
| >Korvane v1.0.0
| >If you don't know what to do try typing "help"
| >There is no mounted disk
| >\c
