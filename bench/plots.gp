# The benchmark plots (bench/bench.py --plots): gnuplot -e "data='DIR/'; out='DIR/'" plots.gp
set terminal pngcairo size 960,420 font ",10"
set grid
set key top left

set output out."start-latency.png"
set multiplot layout 1,2 title "Start: the loader against the floor (a program that only starts the application and waits)"
# The slowest 2 % of rounds, several times slower, would squeeze the rest into a line.
set xrange [0:98]
set xlabel "share of rounds (%), the slowest 2 % left out"
set ylabel "start to end (ms)"
set title "native"
plot data."start-native.dat" using 1:2 with lines lw 2 title "floor", "" using 1:3 with lines lw 2 title "loader"
set title "under Wine"
plot data."start-Wine.dat" using 1:2 with lines lw 2 title "floor", "" using 1:3 with lines lw 2 title "loader"
unset multiplot
set autoscale x

set output out."apply-time.png"
unset title
set title "Apply: the staged loader against cp, sync, mv and rm -rf doing the same (tmpfs)"
set logscale xy
set xlabel "files in the application"
set ylabel "median time (ms)"
plot data."apply.dat" using 1:2 with linespoints lw 2 title "floor: cp, sync, mv, mv, mv, rm -rf", \
     "" using 1:3 with linespoints lw 2 title "staged loader --ad"
