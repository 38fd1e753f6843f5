#!/usr/bin/env bash
# The main job, for a new user on a fresh machine: installs what is needed,
# builds the module, lists monitors, windows and audio outputs, and records a
# few seconds of the first monitor (demo.mp4) and of what plays (demo.wav) in
# the current folder. Without a display it starts a private virtual X server
# with a window; without a sound server a private one, playing a tone.
# Arguments go to scripts/demo.py (--seconds, --fps, --video, --audio).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

install_system_packages
ensure_venv
install_module

if [ -z "${DISPLAY:-}" ]; then
  log "no DISPLAY: starting a private virtual X server"
  start_two_monitor_display
  xmessage -geometry +100+100 "vorel demo window" >/dev/null 2>&1 &
  VOREL_STARTED_PIDS+=($!)
  sleep 0.5
fi
if ! pactl info >/dev/null 2>&1; then
  log "no sound server: starting a private one, playing a 440 Hz tone"
  start_pulseaudio
  "$VOREL_VENV/bin/python" - "$VOREL_TMP/tone.wav" <<'PY'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(48000)
    w.writeframes(b"".join(struct.pack("<hh", s, s) for s in
        (int(8000 * math.sin(2 * math.pi * 440 * i / 48000)) for i in range(48000 * 30))))
PY
  paplay --latency-msec=30 "$VOREL_TMP/tone.wav" >/dev/null 2>&1 &
  VOREL_STARTED_PIDS+=($!)
fi
"$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/demo.py" "$@"
