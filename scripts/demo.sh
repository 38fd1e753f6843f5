#!/usr/bin/env bash
# The main job, for a new user on a fresh machine: installs what is needed,
# builds and installs vorel, lists monitors, windows and audio outputs, records
# a few seconds of the first monitor and of what plays into one MP4 (demo.mp4 in
# the current folder) with `vorel record`, and prints what ffprobe sees in it.
# Without a display it starts a private virtual X server with a window; without
# a sound server a private one, playing a tone.
# Options: --seconds S (3), --fps F (30), --out FILE (demo.mp4).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds=3
fps=30
out=demo.mp4
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --fps) fps="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) log "unknown option $1 (use --seconds S, --fps F, --out FILE)"; exit 2 ;;
  esac
done

install_system_packages
ensure_venv imageio-ffmpeg
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

"$VOREL_VENV/bin/vorel" list
log "recording $seconds s of monitor 0 and the system's sound into $out"
"$VOREL_VENV/bin/vorel" record "$out" --monitor 0 --fps "$fps" --duration "$seconds"

echo
echo "What ffprobe sees in $out:"
ffprobe -v error -count_frames -show_entries \
  stream=index,codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,duration,nb_read_frames \
  -of compact=p=0:nk=0 "$out"
ffprobe -v error -show_entries format=duration,size -of compact=p=0:nk=0 "$out"
