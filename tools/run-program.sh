#!/bin/sh
# Starts the program on this display, or under a private Xvfb where there
# is none, so `make run` works on a headless machine too.
set -eu
program=$1
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$program"
fi

echo "No display: starting the program under Xvfb (close it with Ctrl-C)." >&2
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT INT TERM
tries=0
until [ -e "/tmp/.X11-unix/X$display" ] || [ $tries -ge 100 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
DISPLAY=":$display" "$program"
