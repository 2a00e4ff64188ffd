#!/bin/bash
# The whole update on one machine: makes a release key of its own, builds
# ZUV Update Manager with it (into <build>/demo-signed), publishes a sample
# release signed with that key, serves it with nginx on a loopback port,
# attaches a simulated device (a tmpfs card holding an older release) and
# starts the program pointed at that server. With a display you click through yourself; without one (or with
# DEMO_AUTO=1) the demo runs the program under Xvfb, clicks through it with
# xdotool and saves a picture of each page in <build>/demo/.
#
# Usage: tools/demo.sh BUILD_DIR
#
# Everything it mounts, starts or writes goes when it ends, also on Ctrl-C;
# only the pictures stay.
set -euo pipefail

tools=$(cd "$(dirname "$0")" && pwd)
source=$(dirname "$tools")
# shellcheck source=tools/scriptlib.sh
. "$tools/scriptlib.sh"
build=$(cd "${1:-build}" && pwd)
signed_build=$build/demo-signed
program=$signed_build/app/zuv-update-manager
publish=$build/tools/zuv-publish
probe=$build/tools/zuv-window-probe
python=/usr/bin/python3
wait_limit=${DEMO_TIMEOUT:-60}   # seconds for any one step

say() { printf '[demo] %s\n' "$*"; }
fail() { printf '[demo] FAILED: %s\n' "$*" >&2; exit 1; }

[ -x "$publish" ] || fail "$publish is missing; run 'make build' first"

# The card is a tmpfs mount that only this demo's mount namespace sees.
if [ "${ZUV_DEMO_NAMESPACE:-}" != 1 ]; then
    export ZUV_DEMO_NAMESPACE=1
    if unshare --mount --propagation private true 2>/dev/null; then
        exec unshare --mount --propagation private "$0" "$@"
    fi
    if unshare --user --map-root-user --mount --propagation private true 2>/dev/null; then
        exec unshare --user --map-root-user --mount --propagation private "$0" "$@"
    fi
    fail "cannot make a private mount namespace for the simulated device (run as root or allow user namespaces)"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zuv-demo.XXXXXX")
card=$work/card
shots=$build/demo
pids=()

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    stop_background
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if [ -d "$shots" ] && [ -f "$work/program.log" ]; then
        cp "$work/program.log" "$shots/program.log"
    fi
    if mountpoint -q "$card" 2>/dev/null; then
        umount "$card" || umount -l "$card" || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

log_has() { grep -qF -- "$1" "$work/program.log"; }
log_count() { grep -cF -- "$1" "$work/program.log" || true; }
# True once the log holds more than $2 lines with $1.
log_grew() { [ "$(log_count "$1")" -gt "$2" ]; }

card_files() {
    (cd "$card" && find . -type f ! -name FW.ZUV ! -name ZUV.FW | sed 's|^\./||' | LC_ALL=C sort |
        while IFS= read -r file; do
            printf '%s %8d %s\n' "$(md5sum < "$file" | cut -c1-32)" "$(stat -c %s "$file")" "$file"
        done)
}

# Prints the card's versions and files; with a file of an earlier listing,
# marks the files that changed since with '*'.
list_card() {
    local earlier=${1:-}
    printf '  FW.ZUV:\n'
    sed 's/^/    /' "$card/FW.ZUV"
    if [ -e "$card/ZUV.FW" ]; then
        printf '  ZUV.FW: present\n'
    else
        printf '  ZUV.FW: removed\n'
    fi
    printf '  files (md5, size, path)%s:\n' "${earlier:+, * changed}"
    card_files > "$work/listing"
    local changed=0 mark line
    while IFS= read -r line; do
        mark=' '
        if [ -n "$earlier" ] && ! grep -qxF -- "$line" "$earlier"; then
            mark='*'
            changed=$((changed + 1))
        fi
        printf '   %s %s\n' "$mark" "$line"
    done < "$work/listing"
    if [ -n "$earlier" ]; then
        printf '  %d of %d files changed\n' "$changed" "$(wc -l < "$work/listing")"
    fi
}

# ---------------------------------------------------------------- key

# A key of this demo's own, gone with its directory: the program built here
# reads only releases signed with it.
say "Making a release key"
release_key=$("$publish" keygen "$work/release.key")
say "Public key: $release_key"

# The program a second time, with that key compiled in. Only the file that
# holds the keys differs from the main build, so the compiler cache and the
# build directory of earlier demos make this quick.
say "Building the program with that key into $signed_build"
launcher=$(sed -n 's/^CMAKE_CXX_COMPILER_LAUNCHER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [ -z "$launcher" ] && command -v ccache >/dev/null; then
    launcher=ccache
fi
cmake -S "$source" -B "$signed_build" -DZUV_BUILD_TESTS=OFF -DZUV_RELEASE_KEYS="$release_key" \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher"} > "$work/build.log" 2>&1 ||
    fail "configuring the signed build failed: $(tail -n 20 "$work/build.log")"
cmake --build "$signed_build" --target zuv-update-manager -j"${JOBS:-$(nproc)}" >> "$work/build.log" 2>&1 ||
    fail "building the signed program failed: $(tail -n 20 "$work/build.log")"

# ---------------------------------------------------------------- server

say "Making the sample releases 1.0 (on the device) and 2.0 (on the server)"
"$python" "$tools/make-sample-release.py" release "$work/release-1.0"
"$python" "$tools/make-sample-release.py" release "$work/release-2.0" --primary 2.0 --secondary 2.0

say "Publishing both into the server's tree, signed"
"$publish" publish --quiet --sign "$work/release.key" "$work/release-1.0" "$work/tree"
"$publish" publish --quiet --sign "$work/release.key" "$work/release-2.0" "$work/tree"
"$publish" verify --quiet --key "$release_key" "$work/tree"

start_nginx "$work/nginx" "$work/tree" || fail "nginx did not start; see its log above"
say "Update server: $server (nginx serving $work/tree)"

# ---------------------------------------------------------------- device

mkdir -p "$card"
mount -t tmpfs -o size=32m,mode=0755 zuvdemo "$card"
"$python" "$tools/make-sample-release.py" device "$card" --serial ORV-000042
say "Device attached at $card. Before the update:"
list_card
cp "$work/listing" "$work/before"

mkdir -p "$work/config/ZUV Systems" "$work/runtime" "$work/tmp"
chmod 700 "$work/runtime"
printf '[General]\nUpdateServer=%s\n' "$server" > "$work/config/ZUV Systems/ZUV Update Manager.conf"

# Starts the program with its settings and temporary files in the demo's
# directory; further VARIABLE=VALUE arguments go to its environment.
start_program() {
    env XDG_CONFIG_HOME="$work/config" TMPDIR="$work/tmp" "$@" "$program" 2>"$work/program.log" &
    program_pid=$!
    pids+=("$program_pid")
}

# ---------------------------------------------------------------- by hand

if [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_AUTO:-}" ]; then
    say "Starting the program on $DISPLAY: CHECK FOR UPDATES, UPDATE, OK, then close the window."
    start_program
    wait "$program_pid" || true
    say "After the update:"
    list_card "$work/before"
    exit 0
fi

# ---------------------------------------------------------------- automatic

rm -rf "$shots"
mkdir -p "$shots"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for "X display" test -s "$work/display"
export DISPLAY=:$(head -n1 "$work/display")
say "Running the program on a virtual screen ($DISPLAY)"
start_program XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb

find_window() {
    window=$(xdotool search --name '^ZUV Updater$' 2>/dev/null | head -n1)
    [ -n "$window" ]
}
wait_for "program window" find_window
eval "$(xdotool getwindowgeometry --shell "$window")"
geometry="$X $Y $WIDTH $HEIGHT"

shot_number=0
shot() {
    shot_number=$((shot_number + 1))
    local file
    file=$(printf '%s/%02d-%s.png' "$shots" "$shot_number" "$1")
    "$probe" shot "$file" $geometry
    say "  picture: $file"
}

program_alive() { kill -0 "$program_pid" 2>/dev/null || fail "the program ended; its log: $(tail -n 20 "$work/program.log")"; }

say "Searching for the device"
shot searching
wait_for "device page" device_page
shot device
say "CHANGELIST"
click "356 214"
wait_for "change list page" stable_button close
shot changelist
click "$button"
wait_for "device page" device_page

say "CHECK FOR UPDATES"
click "$button"
shot checking
wait_for "update information" log_has "void UpdaterPrivate::readUpdateFW()"
wait_for "UPDATE button" stable_button lowest
shot update-available

say "UPDATE"
click "$button"
shot preparing
wait_for "downloads" log_has "files to update"
shot progress
wait_for "message page" message_page
shot update-ready
if log_has "verifyFilesFinished() true" && [ ! -e "$card/ZUV.FW" ]; then
    say "The program checked the signed release record ($(log_count '"valid"') signatures) and reports the update ready"
else
    fail "the update did not succeed; see $shots/program.log"
fi

say "After the update:"
list_card "$work/before"
expected=$work/expected
"$python" "$tools/make-sample-release.py" device "$expected" --primary 2.0 --secondary 2.0 --serial ORV-000042
# ZUVREL.TXT names the signed release the card now holds (its number).
if diff -r -x ZUV.FW -x FW.ZUV -x ZUVREL.TXT "$expected" "$card" >/dev/null && grep -qx 'Sequence=2' "$card/ZUVREL.TXT"; then
    say "The device holds exactly the files of release 2.0 and its number, and ZUV.FW is gone."
else
    fail "the device's files differ from release 2.0"
fi

new_scan() {
    local scans
    scans=$(log_count "void UpdaterPrivate::scanFinished()")
    click "$button"
    wait_for "new search" log_grew "void UpdaterPrivate::scanFinished()" "$scans"
}

say "Disconnecting the device, then OK: the program searches again"
cp -a "$card/." "$work/unplugged"
umount "$card"
new_scan
wait_for "message page" message_page
shot no-device

say "The device installs the update by itself (simulated) and is connected again, then OK"
mount -t tmpfs -o size=32m,mode=0755 zuvdemo "$card"
cp -a "$work/unplugged/." "$card"
printf 'SN_PRI=ORV-000042\nVER_BOOT=1.0\nVER_PRI=2.0\nVER_SEC=2.0\n' > "$card/FW.ZUV"
printf 'installed\n' > "$card/ZUV.FW"
new_scan
wait_for "device page" device_page
say "CHECK FOR UPDATES: nothing left to update"
checks=$(log_count "void UpdaterPrivate::readUpdateFW()")
click "$button"
wait_for "update information" log_grew "void UpdaterPrivate::readUpdateFW()" "$checks"
wait_for "device page" device_page
sleep 1
shot up-to-date
if "$probe" find lowest $geometry >/dev/null; then
    fail "the program still offers an update"
fi

say "Closing the program"
click "500 10"
wait_for "program exit" bash -c "! kill -0 $program_pid 2>/dev/null"
if wait "$program_pid"; then
    say "The program ended normally"
else
    fail "the program ended with status $?"
fi
say "Pictures and the program's log: $shots"
