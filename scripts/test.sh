#!/usr/bin/env bash
# Runs every test: C++ unit tests, Python tests of the installed module on a
# private virtual X server, and the Windows backend cross-built and run under
# Wine, and the instrumented builds and fuzzing of scripts/sanitize.sh.
# Installs what it needs first. VOREL_SKIP_WINDOWS=1 leaves out the Windows
# part, VOREL_SKIP_SANITIZE=1 the instrumented part (for quick local runs; CI
# runs everything).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

install_system_packages
ensure_venv imageio-ffmpeg mypy
install_module

log "Layers: no include goes up a layer"
"$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/check_layers.py"

# The portable layers' tests are built with pkg-config disabled, which shows
# that they need no X11 or PulseAudio development files.
log "C++ unit tests: portable layers, then the Linux backend's pure parts"
PKG_CONFIG=/bin/false cmake -S "$VOREL_ROOT" -B "$VOREL_ROOT/build/cpp-portable" \
  -DVOREL_MODULE=OFF -DVOREL_TESTS=ON -DVOREL_BACKEND=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$VOREL_ROOT/build/cpp-portable" -j "$(nproc)" >/dev/null
ctest --test-dir "$VOREL_ROOT/build/cpp-portable" --output-on-failure
cmake -S "$VOREL_ROOT" -B "$VOREL_ROOT/build/cpp" -DVOREL_MODULE=OFF -DVOREL_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$VOREL_ROOT/build/cpp" -j "$(nproc)" --target vorel_linux_tests >/dev/null
"$VOREL_ROOT/build/cpp/vorel_linux_tests" --gtest_brief=1

log "Types: mypy --strict on the package and the README's examples, stubtest of the stubs"
rm -rf "$VOREL_ROOT/build/readme_examples"
"$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/readme_examples.py" "$VOREL_ROOT/README.md" \
  "$VOREL_ROOT/build/readme_examples"
(cd "$VOREL_ROOT" && "$VOREL_VENV/bin/python" -m mypy --strict --no-incremental python/vorel \
  && "$VOREL_VENV/bin/python" -m mypy --strict --no-incremental build/readme_examples \
  && "$VOREL_VENV/bin/python" -m mypy.stubtest _native_core)

log "Python tests"
start_two_monitor_display
start_pulseaudio
export VOREL_REQUIRE_DISPLAY=1 VOREL_REQUIRE_AUDIO=1
(cd "$VOREL_ROOT" && "$VOREL_VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python)

# Most Linux desktops run PipeWire: the audio tests again, on pipewire-pulse.
log "Python audio tests on pipewire-pulse"
start_pipewire
(cd "$VOREL_ROOT" && VOREL_SOUND_SERVER=pipewire "$VOREL_VENV/bin/python" -m pytest -q \
  -p no:cacheprovider tests/python/test_audio_*.py)

log "Linux wheel: build and check its contents and tag"
rm -rf "$VOREL_ROOT/dist"
"$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/wheels.py" linux "$VOREL_ROOT/dist"
"$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/wheels.py" check "$VOREL_ROOT"/dist/*linux*.whl

if [ "${VOREL_SKIP_SANITIZE:-0}" != "1" ]; then
  log "Instrumented builds and fuzzing"
  bash "$VOREL_ROOT/scripts/sanitize.sh"
fi

if [ "${VOREL_SKIP_WINDOWS:-0}" != "1" ]; then
  log "Windows backend (cross build, Wine)"
  bash "$VOREL_ROOT/scripts/win_cross.sh"
  log "Windows module on the Universal C Runtime, and its wheel"
  bash "$VOREL_ROOT/scripts/win_ucrt_pyd.sh" "${VOREL_WIN_BUILD:-$VOREL_ROOT/build-win}/ucrt"
  "$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/wheels.py" windows \
    "${VOREL_WIN_BUILD:-$VOREL_ROOT/build-win}/ucrt/_native_core.pyd" "$VOREL_ROOT/dist"
  "$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/wheels.py" check "$VOREL_ROOT"/dist/*win_amd64.whl
fi
log "all tests passed"
