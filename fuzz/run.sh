#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR (listed in BUILD_DIR/fuzz_targets.txt) for
# SECONDS each, JOBS at a time, on its seed corpus BUILD_DIR/corpus/<target>.
# What libFuzzer adds to a corpus goes to BUILD_DIR/work/<target>, kept between
# runs. Each target logs to BUILD_DIR/logs/<target>.log, and the input of a
# finding is kept as BUILD_DIR/artifacts/<target>-crash-<sha1> (or -oom-, ...).
# Prints the executions per target and their total; fails when any target fails.
#
# Usage: fuzz/run.sh BUILD_DIR SECONDS JOBS
set -euo pipefail
build=$1 seconds=$2 jobs=$3

executions() { grep -ho 'number_of_executed_units: *[0-9]*' "$@" | grep -o '[0-9]*$' || true; }

run_target() {
  local target=$1 log="$build/logs/$1.log"
  mkdir -p "$build/work/$target"
  if [ ! -d "$build/corpus/$target" ]; then
    echo "$target: FAILED, fuzz/make_corpus.py wrote no corpus for it"
    return 1
  fi
  if "$build/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$build/work/$target" "$build/corpus/$target" >"$log" 2>&1; then
    echo "$target: $(executions "$log") executions"
  else
    echo "$target: FAILED, input kept as $(grep -o 'Test unit written to .*' "$log" | cut -d' ' -f5-)"
    tail -n 40 "$log"
    return 1
  fi
}
export -f run_target executions
export build seconds

rm -rf "$build/logs"
mkdir -p "$build/logs" "$build/artifacts"
status=0
xargs -P "$jobs" -I{} bash -c 'run_target {}' <"$build/fuzz_targets.txt" || status=1
total=$(executions "$build"/logs/*.log | awk '{ total += $1 } END { print total + 0 }')
echo "$(wc -l <"$build/fuzz_targets.txt") targets, $total executions in total"
exit $status
