#!/usr/bin/env bash
# The main job, for a new user on a fresh machine: installs what is needed,
# builds the module and runs the demo. Without a display it starts a private
# virtual X server with two monitors and one window, so there is something to
# find.
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
"$VOREL_VENV/bin/python" "$VOREL_ROOT/scripts/demo.py"
