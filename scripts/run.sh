#!/usr/bin/env bash
# Installs, builds and starts the tool. With no USB serial adapter
# (/dev/ttyACM0) plugged in, a simulated VQ4410 chip with a 16 MiB external
# flash (listed in Flash.ini) is started first; its port is pre-selected, so
# Open Comm identifies it at once. --no-sim starts the tool alone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

with_sim=1
if [ "${1:-}" = "--no-sim" ]; then
  with_sim=0
  shift
fi
[ -e /dev/ttyACM0 ] && with_sim=0

launch=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting the tool on a virtual one (xvfb-run)." >&2
  launch=(xvfb-run -a -s "-screen 0 1280x800x24")
fi

if [ "$with_sim" = 1 ]; then
  build/tools/vqsim/vqsim --chip VQ4410 --flash-id 0x00AB4018 --flash-size 16M &
  sim_pid=$!
  trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
  sleep 0.5
fi
"${launch[@]}" build/src/vqgui "$@"
