# Shared by the bench/*/run.sh scripts (sourced): timing, medians and the
# one line format every figure is printed in, ours beside its peer.
#
# Environment: RUNS (runs per figure, default 5), BENCH_SUMMARY (a file the
# comparison lines are also appended to; scripts/bench.sh prints it at the
# end).

RUNS=${RUNS:-5}

# Seconds since the epoch with nanoseconds.
bench_now() { date +%s.%N; }

# Wall seconds of one run of "$@" (its output dropped); fails when it fails.
bench_wall() {
  local start end
  start=$(bench_now)
  "$@" >/dev/null 2>&1 || return 1
  end=$(bench_now)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}

# The median of the numbers on standard input, one a line.
bench_median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Prints (and appends to BENCH_SUMMARY) one comparison of times, smaller is
# better: label, our median seconds, peer name, peer median seconds, goal
# (the largest acceptable ours/peer ratio, or "-" for none), and an optional
# note for the closing parenthesis.
bench_compare_time() {
  local line
  line=$(awk -v l="$1" -v o="$2" -v p="$3" -v t="$4" -v g="$5" -v note="${6:-}" -v runs="$RUNS" 'BEGIN {
    r = o / t
    verdict = (g == "-") ? "" : (r <= g ? sprintf("  goal <= %.2fx: met", g) : sprintf("  goal <= %.2fx: MISSED", g))
    printf "%-34s ours %8.3f s   %-16s %8.3f s   ratio %5.2fx%s  (median of %d%s)\n", l, o, p, t, r, verdict, runs,
      (note == "" ? "" : "; " note) }')
  echo "$line"
  if [ -n "${BENCH_SUMMARY:-}" ]; then echo "$line" >>"$BENCH_SUMMARY"; fi
}

# How far a figure is from its floor, the method's own unavoidable work
# measured in the same run (bench/floor): label, our median seconds, what
# the floor is, the floor's median seconds, goal (largest ours/floor, or "-").
bench_compare_floor() { bench_compare_time "$1" "$2" floor "$4" "$5" "floor: $3"; }

# The same for rates, larger is better: label, our MiB/s, peer name, peer
# MiB/s, goal (the smallest acceptable ours/peer ratio, or "-").
bench_compare_rate() {
  local line
  line=$(awk -v l="$1" -v o="$2" -v p="$3" -v t="$4" -v g="$5" -v runs="$RUNS" 'BEGIN {
    r = o / t
    verdict = (g == "-") ? "" : (r >= g ? sprintf("  goal >= %.2fx: met", g) : sprintf("  goal >= %.2fx: MISSED", g))
    printf "%-34s ours %8.1f MiB/s  %-22s %8.1f MiB/s  ratio %5.2fx%s  (median of %d)\n", l, o, p, t, r, verdict, runs }')
  echo "$line"
  if [ -n "${BENCH_SUMMARY:-}" ]; then echo "$line" >>"$BENCH_SUMMARY"; fi
}

# MiB/s for a byte count and seconds.
bench_rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.2f\n", b / 1048576 / s }'; }
