#!/usr/bin/env bash
# A fuzzing campaign: builds the libFuzzer targets (clang, optimised, with
# AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz and runs
# each target in turn for MINUTES minutes (default 1) on one core, starting
# from its corpus in fuzz/AREA/corpus/NAME. New inputs go to
# build-fuzz/campaign/NAME (the kept corpus is not touched); a crash, leak or
# time-out leaves its input in build-fuzz/campaign/NAME-artifacts: keep it
# as a named regression input in the target's corpus once it is fixed.
# Prints, per target: executions, executions per second, new corpus entries.
# JOBS=N runs N copies of each target at once on one shared corpus (each
# picks up what the others find); the figures are then their sums.
#
# usage: [JOBS=N] scripts/fuzz.sh [MINUTES] [TARGET...]   (TARGET: extract, inflate, ...; default all)
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-1}
if ! [[ "$MINUTES" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  echo "usage: scripts/fuzz.sh [MINUTES] [TARGET...]" >&2
  exit 2
fi
shift $(($# > 0 ? 1 : 0))
ONLY=" $* "
SECONDS_PER_TARGET=$(python3 -c "print(max(1, round($MINUTES * 60)))")
JOBS=${JOBS:-1}
if ! [[ "$JOBS" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: JOBS must be a whole number of 1 or more" >&2
  exit 2
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQOR_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j 1 >/dev/null

CAMPAIGN=build-fuzz/campaign

# sum_stat KEY LOG...: the sum of libFuzzer's final "stat::KEY:" over the logs.
sum_stat() {
  local key=$1
  shift
  sed -n "s/^stat::$key: *//p" "$@" | awk '{ n += $1 } END { if (NR) print n }'
}

mkdir -p "$CAMPAIGN"
status=0
printf '%-16s %14s %10s %12s %s\n' target executions exec/s new-entries result
for corpus in fuzz/*/corpus/*/; do
  name=$(basename "$corpus")
  area=$(basename "$(dirname "$(dirname "$corpus")")")
  target=build-fuzz/fuzz/$area/fuzz_$name
  [ -x "$target" ] || continue
  [ "$ONLY" = "  " ] || [[ "$ONLY" == *" $name "* ]] || continue
  work=$CAMPAIGN/$name
  artifacts=$CAMPAIGN/$name-artifacts
  mkdir -p "$work" "$artifacts"
  # A dictionary fuzz/AREA/WORD.dict serves the targets whose name starts with WORD.
  dict=()
  for d in fuzz/"$area"/*.dict; do
    [ -f "$d" ] && [[ "$name" == "$(basename "$d" .dict)"* ]] && dict=(-dict="$d")
  done
  before=$(find "$work" -type f | wc -l)
  result=ok
  pids=()
  logs=()
  for job in $(seq 1 "$JOBS"); do
    log=$CAMPAIGN/$name.log
    [ "$JOBS" -eq 1 ] || log=$CAMPAIGN/$name.$job.log
    logs+=("$log")
    "$target" "$work" "$corpus" "${dict[@]}" -max_total_time="$SECONDS_PER_TARGET" -timeout=20 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    if ! wait "$pid"; then
      result="FAILED: input in $artifacts (logs ${logs[*]})"
      status=1
    fi
  done
  after=$(find "$work" -type f | wc -l)
  runs=$(sum_stat number_of_executed_units "${logs[@]}")
  rate=$(sum_stat average_exec_per_sec "${logs[@]}")
  printf '%-16s %14s %10s %12s %s\n' "$name" "${runs:-?}" "${rate:-?}" "$((after - before))" "$result"
done
exit $status
