#!/usr/bin/env bash
# Checks that the tests notice faults: applies each mutation of a list to the
# production sources, one at a time, rebuilds the test programs that depend on
# the mutated directory, runs their suites and records whether a test failed.
#   tools/mutation_check.sh [--all] [LIST]   (default list: tools/mutations.txt)
# --all runs every suite instead of those that cover the mutated directory.
# Results: KILLED (a test failed), SURVIVED (every test passed), BROKEN (the
# mutant did not compile) or SKIPPED (the file or the text is not there).
# The build is Release in build/mutation, without the dialog and benchmarks;
# KIRUNE_MUTATION_JOBS (default 2) sets the parallel jobs and
# KIRUNE_MUTATION_TIMEOUT (default 300) the seconds one suite may take, since a
# mutant may loop forever. The source file is put back after every mutation,
# also when the run is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."

all_suites=0
if [ "${1:-}" = "--all" ]; then
  all_suites=1
  shift
fi
list=${1:-tools/mutations.txt}
build=build/mutation
jobs=${KIRUNE_MUTATION_JOBS:-2}
timeout=${KIRUNE_MUTATION_TIMEOUT:-300}

[ -f "$list" ] || { echo "no mutation list: $list" >&2; exit 2; }

# The suites (ctest names) that exercise each production directory; "cli"
# runs the rpx program. The slow hardening suite (kills, failing disks,
# resource limits) is left to --all.
suites_for() {
  case $1 in
    lossless/*) echo "lossless container app" ;;
    codec/*) echo "codec encoder container app" ;;
    encoder/*) echo "encoder app" ;;
    container/*) echo "container app cli" ;;
    app/*) echo "app cli" ;;
    *) echo "" ;;
  esac
}

backup=$(mktemp -d)
mutated=""
restore() {
  if [ -n "$mutated" ]; then
    # A fresh time stamp, so that the next build recompiles the original.
    cp "$backup/original" "$mutated"
    mutated=""
  fi
}
child=""
cleanup() {
  if [ -n "$child" ]; then
    kill "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  restore
  rm -rf "$backup"
}
trap cleanup EXIT
exec 3>&2  # the trap may run while stderr goes to the log
trap 'echo >&3; echo "interrupted: source restored" >&3; exit 130' INT TERM HUP
# Runs a command in the background and waits for it, so that Ctrl-C reaches
# the trap at once even when the command handles SIGINT itself (ctest does).
run() {
  "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=""
  return "$status"
}

# -Werror stays off: a mutant that only warns is still worth running.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIRUNE_BUILD_BENCH=OFF -DKIRUNE_BUILD_GUI=OFF \
  -DKIRUNE_WARNINGS_AS_ERRORS=OFF >/dev/null
known_tests=$(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
known_targets=$(ninja -C "$build" -t targets all | sed -n 's/^\([^:]*\): .*/\1/p')

# The test programs (and rpx, which cli and hardening run) behind the suites.
targets_for() {
  local s
  for s in $1; do
    case $s in
      cli) echo rpx ;;
      hardening) echo rpx; echo "test_$s" ;;
      *) echo "test_$s" ;;
    esac
  done | sort -u | while read -r t; do
    grep -qx -- "$t" <<<"$known_targets" && echo "$t"
  done | tr '\n' ' '
}

# Builds everything once so that each mutant only rebuilds what it touches.
echo "Building the unmutated tests in $build"
ninja -C "$build" -j "$jobs" >/dev/null

results=()
count=0
n_killed=0
n_survived=0
n_broken=0
n_skipped=0
log="$build/mutation.log"
: >"$log"

while IFS= read -r line || [ -n "$line" ]; do
  case $line in '' | '#'*) continue ;; esac
  count=$((count + 1))
  file=${line%%: *}
  rest=${line#*: }
  find=${rest%% => *}
  repl=${rest#* => }
  label="$file: $find => $repl"
  if [ "$file" = "$line" ] || [ "$find" = "$rest" ]; then
    results+=("SKIPPED   $line (not FILE: TEXT => REPLACEMENT)")
    n_skipped=$((n_skipped + 1))
    continue
  fi
  if [ ! -f "$file" ]; then
    results+=("SKIPPED   $label (no such file)")
    n_skipped=$((n_skipped + 1))
    continue
  fi
  lineno=$(grep -nF -m1 -- "$find" "$file" | cut -d: -f1 || true)
  if [ -z "$lineno" ]; then
    results+=("SKIPPED   $label (text not found)")
    n_skipped=$((n_skipped + 1))
    continue
  fi

  if [ "$all_suites" = 1 ]; then
    suites=$(echo "$known_tests" | tr '\n' ' ')
  else
    suites=$(suites_for "$file")
  fi
  regex=""
  for s in $suites; do
    grep -qx -- "$s" <<<"$known_tests" && regex="$regex|$s"
  done
  if [ -z "$regex" ]; then
    results+=("SKIPPED   $label (no suite covers it)")
    n_skipped=$((n_skipped + 1))
    continue
  fi
  regex="^(${regex#|})\$"

  cp -p "$file" "$backup/original"
  mutated=$file
  # Replaces the first occurrence only, literally.
  FIND=$find REPL=$repl awk -v target="$lineno" '
    NR == target {
      i = index($0, ENVIRON["FIND"])
      $0 = substr($0, 1, i - 1) ENVIRON["REPL"] substr($0, i + length(ENVIRON["FIND"]))
    }
    { print }' "$backup/original" >"$file"

  echo "[$count] $file:$lineno  $find => $repl" | tee -a "$log"
  start=$SECONDS
  # shellcheck disable=SC2046
  if ! run ninja -C "$build" -j "$jobs" $(targets_for "$suites") >>"$log" 2>&1; then
    verdict=BROKEN
    n_broken=$((n_broken + 1))
  elif run ctest --test-dir "$build" -R "$regex" -j "$jobs" --stop-on-failure --timeout "$timeout" >>"$log" 2>&1; then
    verdict=SURVIVED
    n_survived=$((n_survived + 1))
  else
    verdict=KILLED
    n_killed=$((n_killed + 1))
  fi
  restore
  echo "    $verdict ($((SECONDS - start)) s)" | tee -a "$log"
  results+=("$(printf '%-9s %s:%s  %s => %s' "$verdict" "$file" "$lineno" "$find" "$repl")")
done <"$list"

echo
echo "Mutation results ($list; details in $log):"
printf '  %s\n' "${results[@]}"
echo "$n_killed killed, $n_survived survived, $n_broken broken, $n_skipped skipped of $count"
