#!/usr/bin/env bash
# The Windows build, from Linux: cross-compiles the backend and its tests with
# MinGW-w64, links the complete module as _native_core.pyd against an import
# library of python313.dll, and runs the tests under Wine on a private
# two-screen X server and a private PulseAudio server (Wine's audio driver
# talks to it), then runs the audio tests that need no sound server once more
# without one.
#
#   scripts/win_cross.sh [build] [test] [pyd] [bench]
#
# Without arguments: build, test and pyd. `bench` builds the Windows
# benchmark programs and runs them under Wine on a private X server.
#
# Environment:
#   VOREL_WIN_BUILD    build directory (default: <repo>/build-win)
#   VOREL_PY313_INCLUDE  CPython 3.13 headers (default: pyenv's 3.13)
#   VOREL_WINEPREFIX   a Wine prefix to use and keep (default: a fresh one,
#                      removed at the end)
#   JOBS               parallel build jobs (default: nproc)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VOREL_WIN_BUILD:-$ROOT/build-win}
JOBS=${JOBS:-$(nproc)}
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
GTEST_SOURCE=/usr/src/googletest
MINGW=x86_64-w64-mingw32
# What the tests expect of the X server started below.
SCREENS=(1920x1080x24 1280x1024x24)
EXPECT_MONITORS=1920x1080,1280x1024
TEST_TIMEOUT=300

started=$(date +%s)
say() { printf '[win_cross %3ss] %s\n' "$(($(date +%s) - started))" "$*"; }
die() { printf 'win_cross: %s\n' "$*" >&2; exit 1; }

need() {
  local missing=()
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || missing+=("$tool"); done
  ((${#missing[@]} == 0)) || die "missing tools: ${missing[*]} (install mingw-w64, cmake, ninja-build, wine, wine64, xvfb, pulseaudio, pulseaudio-utils)"
}

steps=("$@")
((${#steps[@]})) || steps=(build test pyd)
for s in "${steps[@]}"; do
  case $s in build|pyd|test|bench) ;; *) die "unknown step '$s' (build, test, pyd, bench)";; esac
done
want() { local s; for s in "${steps[@]}"; do [[ $s == "$1" ]] && return 0; done; return 1; }

need cmake "$MINGW-g++-posix" "$MINGW-gcc-posix"
GENERATOR=()
if command -v ninja >/dev/null 2>&1; then GENERATOR=(-G Ninja); fi

# --------------------------------------------------------------------------
# Unit tests and Windows backend tests.
build_tests() {
  [[ -d $GTEST_SOURCE ]] || die "GoogleTest sources not found at $GTEST_SOURCE (install googletest)"
  say "configure $BUILD/tests"
  cmake -S "$ROOT" -B "$BUILD/tests" "${GENERATOR[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DVOREL_TESTS=ON -DVOREL_MODULE=OFF -DVOREL_GTEST_SOURCE="$GTEST_SOURCE" \
    -Wno-dev >"$BUILD/tests-configure.log" 2>&1 ||
    { cat "$BUILD/tests-configure.log" >&2; die "configure failed"; }
  say "build unit and Windows tests"
  cmake --build "$BUILD/tests" --parallel "$JOBS" --target vorel_unit_tests vorel_win_tests
}

# --------------------------------------------------------------------------
# The module as a .pyd. python313.dll is not on this machine: its headers
# come from CPython 3.13 with a Windows pyconfig.h, and its import library is
# made from the symbols the module's objects actually use.
python_include() {
  if [[ -n ${VOREL_PY313_INCLUDE:-} ]]; then echo "$VOREL_PY313_INCLUDE"; return; fi
  local root
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  local dir
  for dir in "$root"/versions/3.13*/include/python3.13; do
    [[ -f $dir/Python.h ]] && { echo "$dir"; return; }
  done
  die "CPython 3.13 headers not found under $root/versions (set VOREL_PY313_INCLUDE)"
}

build_pyd() {
  need "$MINGW-nm" "$MINGW-dlltool" "$MINGW-objdump"
  local py=$BUILD/python include
  include=$(python_include)
  say "CPython headers from $include"
  rm -rf "$py/include"
  mkdir -p "$py/include"
  cp -R "$include"/. "$py/include/"
  cp "$ROOT/scripts/win/pyconfig.h" "$py/include/pyconfig.h"

  local implib=$py/libpython313.dll.a module=$BUILD/module
  say "configure $module"
  cmake -S "$ROOT" -B "$module" "${GENERATOR[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DVOREL_MODULE=ON -DVOREL_TESTS=OFF \
    -DVOREL_WIN_PYTHON_INCLUDE="$py/include" -DVOREL_WIN_PYTHON_IMPLIB="$implib" \
    -Wno-dev >"$BUILD/module-configure.log" 2>&1 ||
    { cat "$BUILD/module-configure.log" >&2; die "configure failed"; }

  # The module's objects first, to learn what they import.
  say "compile the module's objects"
  # (vorel_native only names them: an interface library is no build target.)
  cmake --build "$module" --parallel "$JOBS" \
    --target vorel_discovery vorel_audio vorel_video vorel_backend
  local objects=()
  if [[ ${GENERATOR[*]} == *Ninja* ]]; then
    mapfile -t objects < <(cd "$module" && ninja -t targets all |
      sed -n 's/^\(CMakeFiles\/_native_core\.dir\/[^:]*\.obj\): .*/\1/p')
    ((${#objects[@]})) || die "no object files of _native_core found"
    (cd "$module" && ninja "${objects[@]}")
  else
    die "the .pyd step needs ninja (to compile objects before the link)"
  fi

  # Data symbols are those the headers declare with PyAPI_DATA.
  local data=$py/data-symbols.txt def=$py/python313.def
  grep -rhoE 'PyAPI_DATA\([^;]*\)[[:space:]]*[A-Za-z_][A-Za-z0-9_]*' "$py/include" |
    sed -E 's/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | sort -u >"$data"
  {
    echo "LIBRARY python313.dll"
    echo "EXPORTS"
    (cd "$module" && "$MINGW-nm" -u "${objects[@]}") |
      awk '{print $NF}' | sed 's/^__imp_//' | grep -E '^_?_?Py' | sort -u |
      while read -r symbol; do
        if grep -qxF "$symbol" "$data"; then echo "  $symbol DATA"; else echo "  $symbol"; fi
      done
  } >"$def"
  say "import library: $(($(wc -l <"$def") - 2)) symbols of python313.dll ($(grep -c ' DATA$' "$def" || true) data)"
  "$MINGW-dlltool" --dllname python313.dll --input-def "$def" --output-lib "$implib"

  say "link _native_core.pyd"
  cmake --build "$module" --parallel "$JOBS" --target _native_core
  local pyd=$module/_native_core.pyd
  [[ -f $pyd ]] || die "$pyd was not produced"
  local dump
  dump=$("$MINGW-objdump" -p "$pyd")
  grep -qE '^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+PyInit__native_core$' <<<"$dump" ||
    die "_native_core.pyd does not export PyInit__native_core"
  # Only system DLLs and the interpreter: no MinGW runtime beside the module.
  local dlls unexpected
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u)
  unexpected=$(grep -viE '^(python313|kernel32|user32|gdi32|ole32|oleaut32|advapi32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|ws2_32|shell32|mmdevapi|avrt|ksuser)\.dll$' <<<"$dlls" || true)
  [[ -z $unexpected ]] || die "_native_core.pyd imports unexpected DLLs: $unexpected"
  say "_native_core.pyd exports PyInit__native_core; imports $(tr '\n' ' ' <<<"$dlls")"
}

# --------------------------------------------------------------------------
# Wine on a private X server. Everything started here is stopped by PID.
xvfb_pid=""
wm_pid=""
prefix=""
own_prefix=0

cleanup() {
  local rc=$?
  # A kept prefix gets its own display setting back, however the run ended.
  ((own_prefix)) || restore_wine_dpi || true
  if [[ -n $prefix && -d $prefix ]]; then
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  fi
  # The sound server and its reader, once Wine no longer plays to it.
  declare -F cleanup_started >/dev/null && cleanup_started
  [[ -n $wm_pid ]] && kill "$wm_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  [[ -n $wm_pid ]] && wait "$wm_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && wait "$xvfb_pid" 2>/dev/null || true
  ((own_prefix)) && rm -rf "$prefix"
  [[ -n ${work:-} ]] && rm -rf "$work"
  exit "$rc"
}

start_display() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/vorel-win.XXXXXX")
  local args=(-displayfd 3 +xinerama -extension RANDR -nolisten tcp -noreset) i=0 screen
  for screen in "${SCREENS[@]}"; do args+=(-screen "$i" "$screen"); i=$((i + 1)); done
  Xvfb "${args[@]}" 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  local tries=0
  until [[ -s $work/display ]]; do
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; die "Xvfb did not start"; }
    ((tries++ < 100)) || die "Xvfb gave no display number"
    sleep 0.1
  done
  export DISPLAY=:$(tr -d '[:space:]' <"$work/display")
  # Without a window manager Wine waits 2 s for every visible window that is
  # hidden or destroyed; a small one keeps the window tests fast.
  if command -v evilwm >/dev/null 2>&1; then
    evilwm -fn fixed >"$work/wm.log" 2>&1 &
    wm_pid=$!
    sleep 0.3
  else
    say "evilwm not installed: window tests will be slow"
  fi
  say "X server $DISPLAY (pid $xvfb_pid), screens ${SCREENS[*]}"
}

start_wine() {
  if [[ -n ${VOREL_WINEPREFIX:-} ]]; then
    prefix=$VOREL_WINEPREFIX
  else
    prefix=$work/prefix
    own_prefix=1
  fi
  export WINEPREFIX=$prefix WINEDEBUG=-all
  # No Mono or Gecko installers; no debugger that could wait on a crash.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  if [[ ! -f $prefix/system.reg ]]; then
    say "create Wine prefix $prefix"
    wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; die "wineboot failed"; }
  fi
  wineserver -w
  wineserver -p  # stays up between the test programs
  # A kept prefix that a run left scaled (it was killed outright) gets its
  # own setting back first.
  restore_wine_dpi
  # Starts the prefix's services now, with their output going nowhere.
  wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}

failures=0
passed_total=0
failed_total=0

# run_test NAME EXE [ARGS...]
run_test() {
  local name=$1 exe=$2
  shift 2
  [[ -f $exe ]] || die "$exe not built (run the build step)"
  say "run $name"
  local log=$work/$name.log rc=0
  # Into a file, not a pipe: Wine's service processes can inherit the output
  # and would hold a pipe open after the test has ended.
  timeout "$TEST_TIMEOUT" wine "$exe" "$@" >"$log.raw" 2>&1 || rc=$?
  tr -d '\r' <"$log.raw" >"$log"  # the C runtime writes CRLF
  cat "$log"
  local passed failed
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) tests\{0,1\}\.$/\1/p' "$log" | tail -1)
  failed=$(grep -c '^\[  FAILED  \] [A-Za-z].*([0-9]* ms)$' "$log" || true)
  passed_total=$((passed_total + ${passed:-0}))
  failed_total=$((failed_total + failed))
  if ((rc != 0)) || [[ -z $passed ]]; then
    say "$name FAILED (exit code $rc)"
    failures=$((failures + 1))
  elif grep -q '^\[  SKIPPED \]' "$log"; then
    # Here every prerequisite is provided: a skip means something is wrong.
    say "$name skipped tests"
    failures=$((failures + 1))
  fi
}

# The audio tests that expect no sound server; the other run leaves them out.
NO_SERVER_TESTS='WinAudioNoServer.*'
# The tests of a display scaled to 150 %, and the monitor tests once more
# there; the first run leaves the former out.
SCALED_TESTS='WinScaledDisplay.*'
SCALED_DPI=144

# Wine's display resolution in dots per inch (LogPixels, 96 when unset), as
# the prefix's registry holds it; empty when it is unset.
wine_dpi() {
  local out=$work/logpixels.txt
  wine reg query 'HKCU\Control Panel\Desktop' /v LogPixels >"$out" 2>&1 </dev/null || true
  local hex
  hex=$(tr -d '\r' <"$out" | awk '$1 == "LogPixels" {print $3}')
  [[ -n $hex ]] && printf '%d\n' "$hex"
  return 0
}

# Sets it (unsets it when empty); Wine programs read it when they start, so
# the server and its programs are restarted.
set_wine_dpi() {
  if [[ -n $1 ]]; then
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
      >/dev/null 2>&1 </dev/null
  else
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 </dev/null || true
  fi
  wineserver -k || true
  wineserver -w
  wineserver -p
}

# While the display is scaled, the prefix's own setting is kept in this
# file (empty when it had none), so that whatever ends a run, even a kill
# that runs no trap, the next one can put it back.
saved_dpi_file() { echo "$prefix/vorel-saved-logpixels"; }

scale_wine_dpi() {
  local dpi
  dpi=$(wine_dpi)
  say "display scaled to $1 dpi (was ${dpi:-unset})"
  echo "$dpi" >"$(saved_dpi_file)"
  set_wine_dpi "$1"
}

restore_wine_dpi() {
  [[ -n $prefix && -f $(saved_dpi_file) ]] || return 0
  local dpi
  dpi=$(<"$(saved_dpi_file)")
  say "display setting of the prefix back to ${dpi:-unset}"
  set_wine_dpi "$dpi"
  rm -f "$(saved_dpi_file)"
}

run_tests() {
  need wine wineboot wineserver Xvfb timeout pulseaudio pactl parec
  # Its start_pulseaudio; its EXIT trap is replaced by ours, which calls its
  # clean-up.
  source "$ROOT/scripts/lib.sh"
  trap cleanup EXIT
  # A signal ends the run through the EXIT trap.
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  start_display
  start_pulseaudio
  say "PulseAudio at $PULSE_SERVER, default sink test_sink"
  start_wine
  run_test vorel_unit_tests "$BUILD/tests/vorel_unit_tests.exe"
  export VOREL_EXPECT_MONITORS=$EXPECT_MONITORS
  run_test vorel_win_tests "$BUILD/tests/vorel_win_tests.exe" \
    --gtest_filter="-$NO_SERVER_TESTS:$SCALED_TESTS"
  # A socket nobody listens on: libpulse tries only the server it is given.
  PULSE_SERVER="unix:$work/no-sound-server/native" VOREL_EXPECT_NO_SOUND_SERVER=1 \
    run_test vorel_win_tests-no-sound-server "$BUILD/tests/vorel_win_tests.exe" \
    --gtest_filter="$NO_SERVER_TESTS"
  # The display at 150 %; the prefix gets its own setting back afterwards.
  scale_wine_dpi "$SCALED_DPI"
  VOREL_EXPECT_SYSTEM_DPI=$SCALED_DPI run_test vorel_win_tests-scaled \
    "$BUILD/tests/vorel_win_tests.exe" --gtest_filter="$SCALED_TESTS:WinMonitors.*"
  restore_wine_dpi
  echo "wine: $passed_total passed, $failed_total failed"
  ((failures == 0)) || die "$failures test program(s) failed"
}

# --------------------------------------------------------------------------
# Benchmarks: the monitor grab of the capture surface against the read-out it
# replaced, on the first screen of the private X server.
run_bench() {
  need wine wineboot wineserver Xvfb
  say "configure $BUILD/bench"
  cmake -S "$ROOT" -B "$BUILD/bench" "${GENERATOR[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DVOREL_MODULE=OFF -DVOREL_TESTS=OFF -DVOREL_BENCH=ON \
    -Wno-dev >"$BUILD/bench-configure.log" 2>&1 ||
    { cat "$BUILD/bench-configure.log" >&2; die "configure failed"; }
  cmake --build "$BUILD/bench" --parallel "$JOBS" --target vorel_win_grab_bench
  trap cleanup EXIT
  start_display
  start_wine
  local log=$work/grab-bench.log rc=0
  timeout "$TEST_TIMEOUT" wine "$BUILD/bench/vorel_win_grab_bench.exe" "$@" >"$log.raw" 2>&1 || rc=$?
  tr -d '\r' <"$log.raw" >"$log"
  cat "$log"
  ((rc == 0)) || die "the grab benchmark failed (exit code $rc)"
}

# Each step runs on its own, so that one failure does not hide the others'
# results; the script fails if any step did.
mkdir -p "$BUILD"
failed_steps=()
run_step() {
  # A subshell of its own where `set -e` holds (it would not inside `||`).
  ("$2") &
  wait $! || failed_steps+=("$1")
}
want build && run_step build build_tests
want test && run_step test run_tests
want pyd && run_step pyd build_pyd
want bench && run_step bench run_bench
((${#failed_steps[@]} == 0)) || die "failed steps: ${failed_steps[*]}"
say "done"
