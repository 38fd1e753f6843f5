# Shared shell helpers for the set-up, test and demo scripts. Source it.
set -euo pipefail

VOREL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VOREL_VENV="${VOREL_VENV:-$VOREL_ROOT/.venv}"

# Debian packages the build, the tests and the Windows cross build need.
VOREL_APT_PACKAGES=(
  build-essential cmake pkg-config ninja-build
  libx11-dev libx11-xcb-dev libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev
  libxcb-composite0-dev libxext-dev libxrandr-dev libxcomposite-dev
  libpulse-dev pulseaudio pulseaudio-utils
  pipewire pipewire-pulse wireplumber dbus-user-session
  xvfb x11-xserver-utils x11-utils evilwm xdotool ffmpeg
  googletest libgtest-dev
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
  clang-14 libclang-rt-14-dev
)

log() { printf '[vorel] %s\n' "$*" >&2; }

# Installs the Debian packages that are missing (root, or sudo).
install_system_packages() {
  local missing=()
  local p
  for p in "${VOREL_APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  log "installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Finds a Python 3.13 interpreter: $VOREL_PYTHON, pyenv's 3.13.x, or python3.13.
find_python313() {
  local candidates=()
  [ -n "${VOREL_PYTHON:-}" ] && candidates+=("$VOREL_PYTHON")
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root="$(pyenv root)"
    candidates+=("$root"/versions/3.13*/bin/python3.13)
  fi
  candidates+=("$HOME/.pyenv/versions/3.13.0/bin/python3.13" /usr/local/bin/python3.13 /usr/bin/python3.13)
  local c
  for c in "${candidates[@]}"; do
    if [ -x "$c" ] && "$c" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      echo "$c"
      return 0
    fi
  done
  log "no Python 3.13 interpreter found (set VOREL_PYTHON)"
  return 1
}

# Creates the virtual environment (once) and installs the build and test tools.
ensure_venv() {
  if [ ! -x "$VOREL_VENV/bin/python" ]; then
    local py
    py="$(find_python313)"
    log "creating virtual environment $VOREL_VENV from $py"
    "$py" -m venv "$VOREL_VENV"
  fi
  "$VOREL_VENV/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" pytest numpy python-xlib "$@"
}

# Builds and installs the module into the virtual environment.
install_module() {
  log "building and installing _native_core"
  (cd "$VOREL_ROOT" && "$VOREL_VENV/bin/python" -m pip install -q --disable-pip-version-check \
    --no-build-isolation .)
}

# Processes this script started, stopped by PID on exit.
VOREL_STARTED_PIDS=()
VOREL_TMP="$(mktemp -d /tmp/vorel.XXXXXX)"
cleanup_started() {
  local i pid
  # Newest first: clients go before the servers they use.
  for ((i = ${#VOREL_STARTED_PIDS[@]} - 1; i >= 0; i--)); do
    pid=${VOREL_STARTED_PIDS[$i]}
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$VOREL_TMP"
}
trap cleanup_started EXIT

# Starts a private Xvfb on a free display and exports DISPLAY.
# Arguments: extra Xvfb arguments (screens, extensions).
start_xvfb() {
  local fdfile="$VOREL_TMP/displayfd.$RANDOM"
  Xvfb -displayfd 3 -nolisten tcp -noreset "$@" 3>"$fdfile" >/dev/null 2>&1 &
  VOREL_STARTED_PIDS+=($!)
  local i
  for i in $(seq 1 100); do
    if [ -s "$fdfile" ]; then
      export DISPLAY=":$(head -n1 "$fdfile")"
      return 0
    fi
    sleep 0.05
  done
  log "Xvfb did not start"
  return 1
}

# Starts a private PulseAudio server with a null sink "test_sink" (48 kHz
# stereo, the default sink), exports PULSE_SERVER and XDG_RUNTIME_DIR, and
# keeps a low-latency reader on the sink's monitor so that the idle null sink
# does not render seconds ahead.
start_pulseaudio() {
  local dir="$VOREL_TMP/pulse.$RANDOM"
  mkdir -p "$dir/runtime" "$dir/state" "$dir/.config/pulse"
  chmod 700 "$dir/runtime"
  # The sink's rate is pinned: a player at another rate must not move it.
  cat >"$dir/.config/pulse/daemon.conf" <<CONF
default-sample-rate = 48000
alternate-sample-rate = 48000
avoid-resampling = no
exit-idle-time = -1
CONF
  XDG_RUNTIME_DIR="$dir/runtime" PULSE_STATE_PATH="$dir/state" HOME="$dir" \
    XDG_CONFIG_HOME="$dir/.config" \
    pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --disallow-exit=yes \
      --use-pid-file=no -F /dev/null --load=module-native-protocol-unix \
      --load="module-null-sink sink_name=test_sink rate=48000 channels=2" \
      >"$dir/pulseaudio.log" 2>&1 &
  VOREL_STARTED_PIDS+=($!)
  export XDG_RUNTIME_DIR="$dir/runtime"
  export PULSE_SERVER="unix:$dir/runtime/pulse/native"
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  pactl info >/dev/null 2>&1 || { log "PulseAudio did not start"; cat "$dir/pulseaudio.log" >&2; return 1; }
  pactl set-default-sink test_sink
  parec --latency-msec=10 -d test_sink.monitor >/dev/null 2>&1 &
  VOREL_STARTED_PIDS+=($!)
  # A fresh null sink has rendered up to 2 s ahead before the reader lowered
  # its latency, and its monitor stays silent until then: wait for the first
  # bytes so that recordings get data at once.
  timeout 5 parec --latency-msec=10 -d test_sink.monitor 2>/dev/null | head -c 4 >/dev/null || true
}

# Waits up to 10 s for a command to succeed; the log file is shown if not.
# Arguments: what (for the message), log file, command...
wait_for() {
  local what="$1" logfile="$2"
  shift 2
  local i
  for i in $(seq 1 200); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  log "$what did not come up"
  cat "$logfile" >&2 || true
  return 1
}

# Starts a private PipeWire with its PulseAudio server (pipewire-pulse) and
# session manager (wireplumber) on a private session bus, with a null sink
# "test_sink" (48 kHz stereo) as the default sink; exports PULSE_SERVER and
# XDG_RUNTIME_DIR, and keeps a low-latency reader on the sink's monitor as
# start_pulseaudio does. Each process is stopped by its PID at exit.
start_pipewire() {
  local dir="$VOREL_TMP/pipewire.$RANDOM"
  mkdir -p "$dir/runtime" "$dir/config" "$dir/state" "$dir/data"
  chmod 700 "$dir/runtime"
  local bus="unix:path=$dir/runtime/bus"
  # Nothing of the user's own configuration, state or session is used.
  local env=(env XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/config"
    XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data" HOME="$dir"
    DBUS_SESSION_BUS_ADDRESS="$bus")
  "${env[@]}" dbus-daemon --session --nofork --nopidfile --address="$bus" \
    >"$dir/dbus.log" 2>&1 </dev/null &
  VOREL_STARTED_PIDS+=($!)
  wait_for "the session bus" "$dir/dbus.log" test -S "$dir/runtime/bus"
  "${env[@]}" pipewire >"$dir/pipewire.log" 2>&1 </dev/null &
  VOREL_STARTED_PIDS+=($!)
  wait_for "pipewire" "$dir/pipewire.log" test -S "$dir/runtime/pipewire-0"
  "${env[@]}" wireplumber >"$dir/wireplumber.log" 2>&1 </dev/null &
  VOREL_STARTED_PIDS+=($!)
  "${env[@]}" pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 </dev/null &
  VOREL_STARTED_PIDS+=($!)
  export XDG_RUNTIME_DIR="$dir/runtime"
  export PULSE_SERVER="unix:$dir/runtime/pulse/native"
  wait_for "pipewire-pulse" "$dir/pipewire-pulse.log" pactl info
  # Answering "info" does not mean the factories are ready: a load this early
  # was once refused with "Not supported". A refused load loads nothing, so
  # it is simply tried again.
  wait_for "the null sink's module" "$dir/pipewire.log" \
    pactl load-module module-null-sink sink_name=test_sink rate=48000 channels=2
  wait_for "the null sink" "$dir/wireplumber.log" \
    sh -c 'pactl list short sinks | grep -qw test_sink'
  pactl set-default-sink test_sink
  wait_for "the default sink" "$dir/wireplumber.log" \
    sh -c '[ "$(pactl get-default-sink)" = test_sink ]'
  parec --latency-msec=10 -d test_sink.monitor >/dev/null 2>&1 &
  VOREL_STARTED_PIDS+=($!)
  timeout 5 parec --latency-msec=10 -d test_sink.monitor 2>/dev/null | head -c 4 >/dev/null || true
}

# A 1920x1080 screen split into two RandR monitors, LEFT (primary) and RIGHT.
start_two_monitor_display() {
  start_xvfb -screen 0 1920x1080x24 +extension RANDR
  xrandr --setmonitor '*LEFT' 960/254x1080/286+0+0 screen >/dev/null
  xrandr --setmonitor RIGHT 960/254x1080/286+960+0 none >/dev/null
}
