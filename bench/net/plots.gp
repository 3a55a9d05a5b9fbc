# The report's two plots, from the data files report.py writes. Called as
#   gnuplot -e "data='DIR'; dest='DIR'" plots.gp
# Each data file has a header line (names) and one column per measured server.
set terminal pngcairo size 800,480 font ",11"
set datafile missing "?"
set key autotitle columnhead left top
set logscale x
set grid
set xlabel "connections"

set output dest."/rps.png"
set title "ping-pong: requests per second (64-byte echo)"
set ylabel "requests/s"
set yrange [0:*]
stats data."/rps.dat" skip 1 using 1 nooutput
plot for [i=2:STATS_columns] data."/rps.dat" using 1:i with linespoints lw 2 pt 7

set output dest."/cost.png"
set title "scale: server CPU time per echoed request"
set ylabel "µs per event"
stats data."/cost.dat" skip 1 using 1 nooutput
plot for [i=2:STATS_columns] data."/cost.dat" using 1:i with linespoints lw 2 pt 7
