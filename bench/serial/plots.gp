# The report's plot, from the files report.py writes. Called as
#   gnuplot -e "data='DIR'; dest='DIR'" plots.gp
# cdf.plot holds one plot command per port count, naming the data file of
# each backend that was measured (latency in µs, fraction at or below it).
set terminal pngcairo size 1000,420 font ",11"
set output dest."/latency.png"
set multiplot layout 1,2
set logscale x
set grid
set key right center Left reverse samplen 2 width -7
set xrange [1:100000]   # the same for both panels, with room on the right for the key
set termoption noenhanced
set xlabel "latency (µs), log scale"
set ylabel "fraction of messages"
set yrange [0:1]
load data."/cdf.plot"
unset multiplot
