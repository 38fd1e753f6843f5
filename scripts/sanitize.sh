#!/usr/bin/env bash
# Instrumented builds and fuzzing, each a leg of its own:
#
#   scripts/sanitize.sh [asan] [tsan] [fuzz]     (default: all three)
#
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer: the C++ unit tests
#         (leak detection on), then the module with the Python tests running
#         against it on a private X server and PulseAudio (the runtime is
#         preloaded into the interpreter; leak detection off there, as the
#         interpreter keeps much of what it allocates until exit).
#   tsan  ThreadSanitizer: the C++ unit tests, the threaded ones repeated.
#   fuzz  libFuzzer (Clang) on every decoder of text that other processes
#         hand over, for VOREL_FUZZ_SECONDS per target (default 30), starting
#         from the seed corpus in tests/fuzz/corpus.
#
# Any finding fails the leg: undefined behaviour halts at once, and a fuzz
# property that does not hold aborts with the input that broke it. What is
# deliberately not reported is listed, with the reason, in
# scripts/sanitize-suppressions.md.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

legs=("$@")
((${#legs[@]})) || legs=(asan tsan fuzz)
for leg in "${legs[@]}"; do
  case $leg in asan|tsan|fuzz) ;; *) log "unknown leg '$leg' (asan, tsan, fuzz)"; exit 2;; esac
done

JOBS=$(nproc)
FUZZ_SECONDS=${VOREL_FUZZ_SECONDS:-30}
FUZZ_TARGETS=(utf16 utf8 x11_text)
UBSAN_OPTIONS_ALL="print_stacktrace=1:halt_on_error=1"
ASAN_OPTIONS_COMMON="abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"

configure_and_build() {
  local dir=$1
  shift
  # Assertions on, and -O1: the instrumented module must keep up with real-
  # time audio and video in the Python tests.
  cmake -S "$VOREL_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; return 1; }
  cmake --build "$dir" -j "$JOBS" >"$dir.build.log" 2>&1 ||
    { tail -n 60 "$dir.build.log" >&2; return 1; }
}

leg_asan() {
  local dir="$VOREL_ROOT/build/asan"
  mkdir -p "$VOREL_ROOT/build"
  log "asan: building the unit tests and the module"
  configure_and_build "$dir" -DVOREL_SANITIZE=address -DVOREL_TESTS=ON -DVOREL_MODULE=ON \
    -DPython_EXECUTABLE="$VOREL_VENV/bin/python"

  log "asan: C++ unit tests (leaks detected)"
  local tests
  for tests in vorel_unit_tests vorel_linux_tests; do
    ASAN_OPTIONS="$ASAN_OPTIONS_COMMON:detect_leaks=1" UBSAN_OPTIONS="$UBSAN_OPTIONS_ALL" \
      "$dir/$tests" --gtest_brief=1
  done

  log "asan: Python tests against the instrumented module"
  start_two_monitor_display
  start_pulseaudio
  local runtime
  runtime="$(gcc -print-file-name=libasan.so)"
  [ -e "$runtime" ] || { log "no AddressSanitizer runtime at $runtime"; return 1; }
  # The PulseAudio server and tools that the tests start deadlock at start-up
  # with this runtime preloaded (inside glibc's gettext set-up, before any of
  # our code runs): they run without it, through wrappers first on PATH.
  local wrappers="$VOREL_TMP/uninstrumented-bin"
  mkdir -p "$wrappers"
  local tool
  for tool in pulseaudio pactl parec paplay pacat; do
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$(command -v "$tool")" >"$wrappers/$tool"
    chmod +x "$wrappers/$tool"
  done
  # Every report, from the interpreter or any process it starts, lands here.
  local reports="$VOREL_TMP/sanitizer-reports"
  mkdir -p "$reports"
  local status=0
  (
    cd "$VOREL_ROOT"
    export PATH="$wrappers:$PATH"
    export LD_PRELOAD="$runtime"
    export ASAN_OPTIONS="$ASAN_OPTIONS_COMMON:detect_leaks=0:log_path=$reports/asan"
    export UBSAN_OPTIONS="$UBSAN_OPTIONS_ALL:log_path=$reports/ubsan"
    export PYTHONPATH="$dir${PYTHONPATH:+:$PYTHONPATH}"
    export VOREL_REQUIRE_DISPLAY=1 VOREL_REQUIRE_AUDIO=1
    # The tests must reach this build, not the module installed in the venv.
    "$VOREL_VENV/bin/python" -c '
import sys, _native_core
sys.exit(0 if _native_core.__file__.startswith(sys.argv[1]) else
         "imported " + _native_core.__file__ + ", not the instrumented build")' "$dir"
    set +e
    "$VOREL_VENV/bin/python" -m pytest -q -rfE -p no:cacheprovider tests/python \
      2>&1 | tee "$VOREL_TMP/asan-pytest.log"
    local outcome=${PIPESTATUS[0]}
    set -e
    [ "$outcome" -eq 0 ] && exit 0
    # A test that failed without any sanitizer report gets one more try:
    # some tests hold real-time audio to limits of a few milliseconds, which
    # the slower instrumented module on a busy machine can miss. A report is
    # never retried.
    [ -z "$(ls -A "$reports")" ] || exit 1
    local failed
    mapfile -t failed < <(sed -n 's/^\(FAILED\|ERROR\) \([^ ]*\).*/\2/p' \
      "$VOREL_TMP/asan-pytest.log")
    [ ${#failed[@]} -gt 0 ] || exit 1
    log "asan: once more: ${failed[*]}"
    "$VOREL_VENV/bin/python" -m pytest -q -rfE -p no:cacheprovider "${failed[@]}"
  ) || status=$?
  local report
  for report in "$reports"/*; do
    [ -e "$report" ] || continue
    log "asan: sanitizer report $report:"
    cat "$report" >&2
    status=1
  done
  return "$status"
}

leg_tsan() {
  local dir="$VOREL_ROOT/build/tsan"
  mkdir -p "$VOREL_ROOT/build"
  log "tsan: building the unit tests"
  configure_and_build "$dir" -DVOREL_SANITIZE=thread -DVOREL_TESTS=ON -DVOREL_MODULE=OFF
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  log "tsan: C++ unit tests"
  "$dir/vorel_unit_tests" --gtest_brief=1
  "$dir/vorel_linux_tests" --gtest_brief=1
  # More interleavings of the pieces that threads share.
  log "tsan: threaded tests, repeated"
  "$dir/vorel_unit_tests" --gtest_brief=1 --gtest_filter='Threaded*:Milestone*:WorkerThread*' \
    --gtest_repeat=20
}

leg_fuzz() {
  local dir="$VOREL_ROOT/build/fuzz"
  mkdir -p "$VOREL_ROOT/build"
  command -v clang++-14 >/dev/null || { log "clang++-14 is missing"; return 1; }
  log "fuzz: building the targets"
  CXX=clang++-14 cmake -S "$VOREL_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOREL_MODULE=OFF -DVOREL_FUZZ=ON >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; return 1; }
  local targets=()
  local t
  for t in "${FUZZ_TARGETS[@]}"; do targets+=("vorel_fuzz_$t"); done
  cmake --build "$dir" -j "$JOBS" --target "${targets[@]}" >"$dir.build.log" 2>&1 ||
    { tail -n 60 "$dir.build.log" >&2; return 1; }
  for t in "${FUZZ_TARGETS[@]}"; do
    # New inputs go to a scratch corpus; the committed seeds stay as they are.
    local work="$VOREL_TMP/fuzz-$t"
    mkdir -p "$work/corpus" "$work/artifacts"
    log "fuzz: $t for ${FUZZ_SECONDS}s"
    if ! "$dir/vorel_fuzz_$t" -max_total_time="$FUZZ_SECONDS" -max_len=4096 -timeout=10 \
      -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" "$VOREL_ROOT/tests/fuzz/corpus/$t" >"$work/log" 2>&1; then
      tail -n 40 "$work/log" >&2
      local a
      for a in "$work"/artifacts/*; do
        [ -e "$a" ] && log "fuzz: input that failed ($a): $(od -An -tx1 "$a" | head -c 600)"
      done
      return 1
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/log" | sed "s/^/[vorel]   /" >&2
  done
}

install_system_packages
summary=()
for leg in "${legs[@]}"; do
  [ "$leg" = asan ] && ensure_venv
  began=$(date +%s)
  "leg_$leg"
  summary+=("$leg $(($(date +%s) - began))s")
done
log "instrumented legs passed: ${summary[*]}"
