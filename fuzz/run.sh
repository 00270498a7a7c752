#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time on a scratch copy of its kept corpus
# (the corpus in the repository never grows from here); fails when any target finds a fault.
#   fuzz/run.sh [TARGET...]     all targets, or the named ones
#   FUZZ_SECONDS=N              seconds per target (default 20)
# Needs the checkout's .venv (made by ./run) for the interpreter, cmake and ninja.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
ROOT=$PWD
BUILD=$ROOT/build/fuzz
SECONDS_EACH=${FUZZ_SECONDS:-20}
export PATH="$ROOT/.venv/bin:$PATH"

log() { printf '[fuzz] %s\n' "$*" >&2; }

log "building the fuzz targets"
mkdir -p "$BUILD"
cmake -S fuzz -B "$BUILD" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DPython_EXECUTABLE="$ROOT/.venv/bin/python" -DKORVANE_THIRD_PARTY_DIR="$ROOT/build/third_party" >"$BUILD/configure.log" 2>&1 ||
  { cat "$BUILD/configure.log" >&2; exit 1; }
ninja -C "$BUILD" -j2 >"$BUILD/build.log" 2>&1 || { cat "$BUILD/build.log" >&2; exit 1; }

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/fuzz_*.cpp; do
    target=$(basename "$source" .cpp)
    # A target whose code under test is not in the tree yet is not built.
    [ -x "$BUILD/$target" ] && targets+=("$target")
  done
fi

SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
FINDINGS=$BUILD/findings
failed=()
for target in "${targets[@]}"; do
  corpus=$SCRATCH/$target
  mkdir -p "$corpus"
  [ -d "fuzz/corpus/$target" ] && cp -r "fuzz/corpus/$target/." "$corpus/"
  # Leaks are looked for once, when the run ends (an object never released is unreachable by
  # then): checking after every input that left memory in the interpreter's caches costs a
  # whole heap scan each time, and the targets ran 50 times slower.
  options=(-max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -timeout=5 -print_final_stats=1
           -detect_leaks=0 -artifact_prefix="$SCRATCH/$target-")
  [ -f "fuzz/dict/$target.dict" ] && options+=(-dict="fuzz/dict/$target.dict")
  # A small quarantine keeps memory flat: the interpreter frees many objects on every input.
  if ASAN_OPTIONS=quarantine_size_mb=16:detect_leaks=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$BUILD/$target" "${options[@]}" "$corpus" >"$SCRATCH/$target.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$SCRATCH/$target.log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$SCRATCH/$target.log" | tail -n 1)
    log "$target: ${runs:-?} executions in ${SECONDS_EACH}s, $coverage"
  else
    tail -n 80 "$SCRATCH/$target.log" >&2
    mkdir -p "$FINDINGS"
    for artifact in "$SCRATCH/$target-"*; do
      [ -e "$artifact" ] && cp "$artifact" "$FINDINGS/" && log "reproducer kept: $FINDINGS/$(basename "$artifact")"
    done
    log "$target FOUND A FAULT (rerun: $BUILD/$target <reproducer>)"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  log "faults found by: ${failed[*]}"
  exit 1
fi
log "no faults found"
