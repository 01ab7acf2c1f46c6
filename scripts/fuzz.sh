#!/usr/bin/env bash
# Fuzzing with libFuzzer: one target per parser of outside input (tests/fuzz).
#
#   scripts/fuzz.sh TARGET [SECONDS]  runs one target (60 s by default)
#   scripts/fuzz.sh --all RUNS        runs every target for RUNS inputs, one line each
#   scripts/fuzz.sh --list            names the targets
#
# Builds build-fuzz (clang, -DTOVALY_FUZZ=ON) when needed. A run starts from a
# copy of tests/fuzz/corpus/TARGET and never writes into it; what it finds goes
# to build-fuzz/fuzz-out/TARGET/ (crash-*, leak-*, timeout-*), and a crash is
# reproduced with build-fuzz/fuzz/TARGET_fuzzer FILE. Once it is fixed, copy the
# input into the corpus by hand.
set -euo pipefail
cd "$(dirname "$0")/.."

# The targets as tests/fuzz/CMakeLists.txt declares them, in its order.
mapfile -t TARGETS < <(sed -n 's/^tovaly_fuzzer(\([a-z_0-9]*\) .*/\1/p' tests/fuzz/CMakeLists.txt)
BUILD=build-fuzz

usage() {
  sed -n '4,6s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

build() {
  local log=$BUILD/fuzz-build.log
  mkdir -p "$BUILD"
  # Runs started side by side build one at a time.
  exec 9>"$BUILD/fuzz-build.lock"
  flock 9
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    if ! CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DTOVALY_FUZZ=ON -DTOVALY_TESTS=OFF \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$BUILD/CMakeCache.txt"
      exit 1
    fi
  fi
  if ! cmake --build "$BUILD" -j"$(nproc)" >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
  flock -u 9
}

known() {
  local t
  for t in "${TARGETS[@]}"; do [ "$t" = "$1" ] && return 0; done
  echo "fuzz: no target '$1' (${TARGETS[*]})" >&2
  exit 2
}

# run TARGET ARGS...: the target on a fresh copy of its corpus in
# build-fuzz/fuzz-run/TARGET/corpus (kept until the next run, to replay what
# the run saw), its temporary files in .../tmp (removed whatever happens).
run() {
  local target=$1 work=$BUILD/fuzz-run/$1
  shift
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/tmp" "$BUILD/fuzz-out/$target"
  cp -r "tests/fuzz/corpus/$target/." "$work/corpus/"
  local rc=0
  TMPDIR="$work/tmp" "$BUILD/fuzz/${target}_fuzzer" -dict=tests/fuzz/tokens.dict -timeout=10 \
    -artifact_prefix="$BUILD/fuzz-out/$target/" "$@" "$work/corpus" || rc=$?
  rm -rf "$work/tmp"
  return $rc
}

case "${1:-}" in
  --list)
    printf '%s\n' "${TARGETS[@]}"
    ;;
  --all)
    [ $# -eq 2 ] && [[ $2 =~ ^[0-9]+$ ]] || usage
    build
    failed=0
    for t in "${TARGETS[@]}"; do
      log=$BUILD/fuzz-out/$t.log
      mkdir -p "$BUILD/fuzz-out"
      if run "$t" -runs="$2" >"$log" 2>&1; then
        n=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
        echo "fuzz $t: ${n:-?} inputs, ok"
      else
        echo "fuzz $t: FAILED (log: $log, inputs: $BUILD/fuzz-out/$t/)"
        grep -E 'ERROR|invariant failed|runtime error|SUMMARY' "$log" | head -5 | sed 's/^/  /'
        failed=1
      fi
    done
    exit $failed
    ;;
  ''|-*)
    usage
    ;;
  *)
    known "$1"
    seconds=${2:-60}
    [[ $seconds =~ ^[0-9]+$ ]] || usage
    build
    run "$1" -max_total_time="$seconds" -print_final_stats=1
    ;;
esac
