#!/usr/bin/env bash
# Builds and runs every test: native, the release build with one brief run of
# every benchmark, ASan+UBSan, TSan, the fuzz targets, and the 32-bit Windows
# product with its tests and the end-to-end service test under 32-bit Wine.
# Fails if any fails.
# Usage: scripts/test.sh [stage ...]   stages: native bench asan tsan fuzz mingw-i686 mingw-x64
# (mingw-x64, the same tests built for x86-64 under wine64, is not in the default run.)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh

stages=("$@")
if ((${#stages[@]} == 0)); then
  stages=(native bench asan tsan fuzz mingw-i686)
fi
jobs=$(nproc)

configure_and_build() {  # preset [targets...]
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j "$jobs" "$@"
}

run_ctest() {  # preset [ctest arguments...]
  local preset=$1
  shift
  ctest --test-dir "build/$preset" --output-on-failure -j "$jobs" "$@"
}

stage_native() {
  configure_and_build debug
  run_ctest debug
}

stage_bench() {
  # The release preset builds whole (warnings are errors at -O3 too), and each
  # benchmark runs once, each case for a moment, so that none rots unnoticed.
  # The figures are printed, never judged.
  configure_and_build release
  local bench log status=0 ran=0
  log=$(mktemp)
  for bench in build/release/bench/*_bench; do
    [[ -x $bench ]] || continue
    echo "== $(basename "$bench")"
    ran=$((ran + 1))
    # The table is printed; standard error (the benchmark's context and the
    # service's own trace lines) only when the program fails. A case that
    # reports an error still exits 0: its message fails the stage.
    if ! "$bench" --benchmark_min_time=0.01 --benchmark_color=false >"$log" 2>"$log.err"; then
      status=1
      tail -20 "$log.err"
    fi
    cat "$log"
    if grep -q 'ERROR OCCURRED' "$log"; then status=1; fi
  done
  rm -f "$log" "$log.err"
  if ((ran == 0)); then
    echo "no benchmark was built"
    status=1
  fi
  return $status
}

stage_asan() {
  configure_and_build asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest asan
}

stage_tsan() {
  # The programs labelled tsan in CTest (those that run threads of the
  # service: scanner, probes, listener, stop, the session table's logoffs).
  cmake --preset tsan >/dev/null
  local programs=() targets=() program
  # A built program is named by its tests' command; one not built yet is
  # listed as <program>_NOT_BUILT.
  mapfile -t programs < <(ctest --test-dir build/tsan -N -L tsan --show-only=json-v1 |
    sed -n -e 's|.*"name" : "\([A-Za-z0-9_]*\)_NOT_BUILT".*|\1|p' \
      -e 's|^ *"[^"]*/tests/\([A-Za-z0-9_]*\)",\{0,1\}$|\1|p' | sort -u)
  if ((${#programs[@]} == 0)); then
    echo "no test program is labelled tsan"
    return 1
  fi
  for program in "${programs[@]}"; do targets+=(--target "$program"); done
  cmake --build build/tsan -j "$jobs" "${targets[@]}"
  for program in "${programs[@]}"; do
    echo "== tsan $program"
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "build/tsan/tests/$program" --gtest_brief=1
  done
}

stage_fuzz() {
  configure_and_build fuzz
  local fuzzer name corpus
  for fuzzer in build/fuzz/fuzz/*_fuzzer; do
    [[ -x $fuzzer ]] || continue
    name=$(basename "$fuzzer")
    corpus=$(mktemp -d)
    if [[ -d fuzz/corpus/$name ]]; then cp -r "fuzz/corpus/$name/." "$corpus/"; fi
    echo "== $name"
    "$fuzzer" -runs=2000000 -max_total_time=30 -max_len=65536 -rss_limit_mb=2048 "$corpus" 2>&1 | tail -2
    rm -rf "$corpus"
  done
}

# Runs every test program of a MinGW build under Wine, in a fresh prefix with
# the stand-ins for terminal services (wtsapi32.dll beside the programs) and
# ADO (registered in the prefix), then the end-to-end service test.
run_wine_tests() {  # build-dir wine-loader
  local build=$1 wine=$2 prefix status=0 test
  prefix=$(mktemp -d)
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;wtsapi32=n,b"
  tests/windows/ado/register.sh "$prefix" "$build/tests/windows/ado/ado_standin.dll"
  for test in "$build"/tests/*_tests.exe; do
    echo "== wine $(basename "$test")"
    if ! "$wine" "$test" --gtest_brief=1; then status=1; fi
  done
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
  unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
  echo "== wine service end to end"
  if ! scripts/wine-lifecycle.sh "$build"; then status=1; fi
  return $status
}

stage_mingw-i686() {
  configure_and_build mingw-i686
  file build/mingw-i686/src/corvel-service.exe | grep -q 'PE32 executable'
  run_wine_tests build/mingw-i686 wine
}

stage_mingw-x64() {
  configure_and_build mingw-x64
  run_wine_tests build/mingw-x64 /usr/lib/wine/wine64
}

failed=()
for stage in "${stages[@]}"; do
  echo "=== stage $stage"
  # Each stage runs in a subshell of its own with -e in force, so that its
  # first failing step fails the stage (an `if` would switch -e off inside).
  set +e
  (
    set -e
    "stage_$stage"
  )
  result=$?
  set -e
  if ((result != 0)); then
    failed+=("$stage")
  fi
done
cd "$root"
if ((${#failed[@]} > 0)); then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "All stages passed: ${stages[*]}"
