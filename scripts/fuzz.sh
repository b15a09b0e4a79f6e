#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS_PER_TARGET
# (default 30, so about a minute in all), first replaying every committed crash input under
# fuzz/regressions/. Exits non-zero on any crash, leak, timeout or broken invariant; the input
# that caused it is saved under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
#
# Installs clang and its fuzzer runtime from Debian (apt-get) when they are missing, which needs
# root, as CI has. Each target works on its own copy of the seed corpus in build/fuzz/corpora/,
# kept between runs, so repeated runs go on where the last one stopped; fuzz/corpus itself is
# never written (regenerate it with fuzz/make_corpus.py).
#
# A longer run, e.g. before a release or after touching validation, search or creator folding:
#
#   QUILLET_FUZZ_PARALLEL=1 scripts/fuzz.sh 3600
#
# runs every target at once for an hour each (one core per target). Any crash input found
# belongs in fuzz/regressions/<target>/ together with the fix, so that every later run replays
# it. To keep newly found coverage as seeds, minimise the working corpus into a new folder with
# build/fuzz/fuzz/<target> -merge=1 NEW build/fuzz/corpora/<target> and copy only small inputs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
targets=(fuzz_file fuzz_creator fuzz_companion fuzz_uids)
build=build/fuzz

# --- toolchain ----------------------------------------------------------------------------------
fuzzer_runtime() {
  command -v clang++ >/dev/null 2>&1 || return 1
  [ -f "$(clang++ -print-runtime-dir 2>/dev/null)/libclang_rt.fuzzer-x86_64.a" ] ||
    [ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]
}
if ! fuzzer_runtime; then
  . scripts/_debian.sh
  debian_install fuzz.sh clang libclang-rt-dev llvm || exit 1
  fuzzer_runtime || { echo "fuzz.sh: libFuzzer still not found after installing" >&2; exit 1; }
fi

# --- build --------------------------------------------------------------------------------------
CC=clang CXX=clang++ cmake -S . -B "$build" -DQUILLET_BUILD_FUZZERS=ON -DQUILLET_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2 >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# --- regressions: every input that ever crashed a target must now run clean ---------------------
for t in "${targets[@]}"; do
  short=${t#fuzz_}
  inputs=(fuzz/regressions/"$short"/*)
  [ -e "${inputs[0]}" ] || continue
  if ! "$build/fuzz/$t" -runs=1 "${inputs[@]}" >"$build/$t.regressions.log" 2>&1; then
    echo "fuzz.sh: $t fails on a committed regression input:" >&2
    tail -n 40 "$build/$t.regressions.log" >&2
    exit 1
  fi
  echo "$t: ${#inputs[@]} regression inputs replayed clean"
done

# --- fuzzing ------------------------------------------------------------------------------------
run() {
  local t=$1 short=${1#fuzz_}
  local work="$build/corpora/$short" artifacts="$build/artifacts/$short/"
  mkdir -p "$work" "$artifacts"
  local seed
  for seed in fuzz/corpus/"$short"/*; do [ -e "$work/${seed##*/}" ] || cp "$seed" "$work/"; done
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$work" >"$build/$t.log" 2>&1
}

summary() {
  local t=$1 log="$build/$1.log"
  local done_line edges execs rate
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  edges=$(sed -nE 's/.*Loaded 1 modules +\(([0-9]+) inline 8-bit counters\).*/\1/p' "$log" | head -n 1)
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
  if [ -n "$done_line" ]; then
    local cov ft corp
    cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
    ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
    corp=$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$done_line")
    echo "$t: ${execs:-?} executions (${rate:-?}/s) in ${seconds} s; coverage ${cov} of ${edges:-?} edges," \
      "${ft} features; corpus ${corp} inputs"
  else
    echo "$t: stopped before its time was up (crash, leak or timeout); see $log"
  fi
}

failed=0
if [ "${QUILLET_FUZZ_PARALLEL:-0}" = 1 ]; then
  pids=()
  for t in "${targets[@]}"; do run "$t" & pids+=($!); done
  for i in "${!targets[@]}"; do wait "${pids[$i]}" || { failed=1; echo "fuzz.sh: ${targets[$i]} FAILED" >&2; }; done
else
  for t in "${targets[@]}"; do run "$t" || { failed=1; echo "fuzz.sh: $t FAILED" >&2; }; done
fi
for t in "${targets[@]}"; do summary "$t"; done

if [ "$failed" != 0 ]; then
  for t in "${targets[@]}"; do
    if grep -qE 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|invariant broken' \
      "$build/$t.log"; then
      echo "---- $t ($build/$t.log) ----" >&2
      grep -nE 'ERROR:|runtime error:|invariant broken|SUMMARY:|Test unit written' "$build/$t.log" | head -n 20 >&2
    fi
  done
  echo "fuzz.sh: crash inputs are in $build/artifacts/; replay one with $build/fuzz/<target> FILE" >&2
  exit 1
fi
echo "fuzz.sh: no crash"
