#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
#   scripts/run.sh
# With a display (DISPLAY or WAYLAND_DISPLAY set) the window opens there.
# Without one, the program runs on a private X server (Xvfb, 1920x1080x24,
# Composite) with the openbox window manager; the script prints the display
# and how to take a screenshot, and stops the server when the program ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target quorbel
program="$build/quorbel"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$program" "$@"
fi

# A display number with neither a lock nor a socket.
n=99
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do
  n=$((n + 1))
done
display=":$n"
Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp +extension Composite >/dev/null 2>&1 &
xvfb_pid=$!
openbox_pid=""
cleanup() {
  [ -n "$openbox_pid" ] && kill "$openbox_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$n" ] && break
  sleep 0.1
done
if [ ! -e "/tmp/.X11-unix/X$n" ]; then
  echo "run: Xvfb did not start on $display" >&2
  exit 1
fi
export DISPLAY="$display"
openbox >/dev/null 2>&1 &
openbox_pid=$!

echo "run: no display found; QUOrbel runs on the private X server $display"
echo "run: screenshot:  DISPLAY=$display import -window root quorbel.png"
"$program" "$@"
