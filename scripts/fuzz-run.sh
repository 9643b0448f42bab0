#!/usr/bin/env bash
# Runs every built fuzz target for SECONDS, JOBS at a time, each on its own
# corpus under BUILD/corpus with the checked-in seeds of tests/fuzz/corpus;
# prints each target's executions, and fails (showing the log) on a finding.
#
#   scripts/fuzz-run.sh BUILD SECONDS [JOBS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
jobs=${3:-2}
mkdir -p "$build/corpus" "$build/logs"

run_one() {
  local target=$1 build=$2 seconds=$3
  local name seeds log
  name=$(basename "$target")
  mkdir -p "$build/corpus/$name"
  seeds=tests/fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=
  log=$build/logs/$name.log
  if "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
      "$build/corpus/$name" $seeds >"$log" 2>&1; then
    printf '%-28s %12s executions in %s s, no finding\n' "$name" \
      "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" "$seconds"
  else
    echo "== $name found something; its log:" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
}
export -f run_one
ls "$build"/tests/fuzz/fuzz_* | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$build" "$seconds"
