# Sourced by the timing scripts: a scratch folder $tmp removed on exit, the
# clock, and the summaries of a file of times (one number per line).
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

now() { date +%s.%N; }
# stats FILE: "min | median | max" of the numbers in FILE.
stats() { sort -g "$1" | awk '{a[NR]=$1} END {printf "%.3f | %.3f | %.3f", a[1], a[int((NR+1)/2)], a[NR]}'; }
median() { sort -g "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
