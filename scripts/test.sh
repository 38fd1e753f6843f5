#!/usr/bin/env bash
# Runs every test: C++ unit tests, Python tests of the installed module on a
# private virtual X server, and the Windows backend cross-built and run under
# Wine, and the instrumented builds and fuzzing of scripts/sanitize.sh.
# Installs what it needs first. VOREL_SKIP_WINDOWS=1 leaves out the Windows
# part, VOREL_SKIP_SANITIZE=1 the instrumented part (for quick local runs; CI
# runs everything).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

install_system_packages
ensure_venv
install_module

log "C++ unit tests"
cmake -S "$VOREL_ROOT" -B "$VOREL_ROOT/build/cpp" -DVOREL_MODULE=OFF -DVOREL_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$VOREL_ROOT/build/cpp" -j "$(nproc)" >/dev/null
ctest --test-dir "$VOREL_ROOT/build/cpp" --output-on-failure

log "Python tests"
start_two_monitor_display
start_pulseaudio
export VOREL_REQUIRE_DISPLAY=1 VOREL_REQUIRE_AUDIO=1
(cd "$VOREL_ROOT" && "$VOREL_VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python)

if [ "${VOREL_SKIP_SANITIZE:-0}" != "1" ]; then
  log "Instrumented builds and fuzzing"
  bash "$VOREL_ROOT/scripts/sanitize.sh"
fi

if [ "${VOREL_SKIP_WINDOWS:-0}" != "1" ]; then
  log "Windows backend (cross build, Wine)"
  bash "$VOREL_ROOT/scripts/win_cross.sh"
fi
log "all tests passed"
