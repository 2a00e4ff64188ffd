#!/bin/bash
# Tests the Windows program under Wine, on a private Xvfb screen and in a
# private Wine prefix, both gone when the script ends:
#   1. the portable test suites, built for Windows, with a directory mapped
#      as drive E: holding the device writer's cards;
#   2. the window: the unpacked zip's program starts (with nothing but the
#      zip's own DLLs), its frameless 512 x 512 window "ZUV Updater" shows,
#      its log shows the volume scan, and its close button ends it with 0;
#   3. end to end: a card holding release 1.0 as drive E:, release 2.0 served
#      by nginx on loopback, the program pointed at it through the registry,
#      the update clicked through; the card then holds exactly release 2.0.
# Wine's exit code of a Windows program is reliable, so each step is judged
# by it and by what it leaves; every wait is bounded.
#
# Usage: tools/windows/test.sh WINDOWS_BUILD_ROOT LINUX_BUILD_DIR
#   (the first holds build/ and the zip of tools/windows/build.sh; the second
#   provides zuv-publish, which writes the server's tree)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tools/scriptlib.sh
. "$repo/tools/scriptlib.sh"
root=$(cd "${1:-$repo/build-windows}" && pwd)
linux_build=${2:-$repo/build}
build=$root/build
wait_limit=${ZUV_WINE_TIMEOUT:-120}   # seconds for any one step
suite_limit=600
triplet=x86_64-w64-mingw32

say() { printf '[windows-test] %s\n' "$*"; }
fail() { printf '[windows-test] FAILED: %s\n' "$*" >&2; exit 1; }

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine || true)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
[ -n "$wine" ] || fail "Wine is not installed (tools/install-deps.sh windows)"

qt=$("$here/mingw-qt.sh")
zip=$(ls "$root"/ZUV-Update-Manager-*-win64.zip 2>/dev/null | head -n 1 || true)
[ -n "$zip" ] || fail "no zip in $root; run 'make windows' first"

work=$(mktemp -d "${TMPDIR:-/tmp}/zuv-wine.XXXXXX")
logs=$root/test-logs
rm -rf "$logs"
mkdir -p "$logs"
pids=()
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: nothing of ours needs them, and Wine would offer to
# download them.
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    stop_background
    if [ -n "$wineserver" ] && [ -d "$WINEPREFIX" ]; then
        "$wineserver" -k 2>/dev/null || true
        timeout 20 "$wineserver" -w 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- Wine

started=$SECONDS
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for "X display" test -s "$work/display"
export DISPLAY=:$(head -n1 "$work/display")

say "Making a Wine prefix in $WINEPREFIX"
timeout 300 "$wine" wineboot --init >"$logs/wineboot.log" 2>&1 || fail "wineboot failed; see $logs/wineboot.log"
timeout 60 "$wineserver" -w || true

# Drive E: is a directory of ours; each step points it at its own card.
# Wine lists a drive only when its link was there as the Wine server
# started; pointing the link elsewhere later is seen at once.
map_drive_e() { ln -sfn "$1" "$WINEPREFIX/dosdevices/e:"; }
mkdir -p "$work/drive-e"
map_drive_e "$work/drive-e"

# Wine hands no QT_* variable of Linux to Windows programs (it keeps them
# from Linux Qt settings), so the program's debug log is sent to standard
# error through the Windows environment in the registry. Without a console
# Qt would send it to the debugger instead.
timeout 60 "$wine" reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /t REG_SZ /d 1 /f >/dev/null 2>&1 \
    || fail "cannot set QT_FORCE_STDERR_LOGGING in Wine's registry"

# ---------------------------------------------------------------- suites

# The suites find Qt's and MinGW's DLLs where they were built against.
gcc_dir=$(dirname "$($triplet-g++-posix -print-libgcc-file-name)")
suite_path="Z:$qt/bin;Z:$gcc_dir;Z:/usr/$triplet/lib"

failed=()
while IFS= read -r suite; do
    name=$(basename "$suite" .exe)
    # Without a console QtTest writes its report to the debugger, so it
    # goes to a file; the exit code says how many cases failed.
    status=0
    WINEPATH=$suite_path ZUV_TEST_CARD_ROOT=E:/ \
        timeout "$suite_limit" "$wine" "$suite" -o "Z:$logs/$name.txt,txt" >"$logs/$name.stderr" 2>&1 || status=$?
    totals=$(grep '^Totals:' "$logs/$name.txt" 2>/dev/null || echo "no result")
    if [ "$status" = 0 ]; then
        say "$name: passed ($totals)"
    else
        say "$name: FAILED with status $status ($totals)"
        grep -E '^(FAIL!|   Loc:)' "$logs/$name.txt" 2>/dev/null | sed 's/^/    /' || true
        failed+=("$name")
    fi
done < <(find "$build/tests" -name '*.exe' | sort)
if [ -n "$(ls -A "$work/drive-e")" ]; then
    failed+=("cards left on drive E: $(ls "$work/drive-e" | tr '\n' ' ')")
fi
[ ${#failed[@]} = 0 ] || fail "suites under Wine: ${failed[*]}"

# ---------------------------------------------------------------- window

# Unpacked below a folder with blanks in its name, as under C:\Program Files.
mkdir -p "$work/Program Files"
unzip -q "$zip" -d "$work/Program Files"
program=$(ls -d "$work/Program Files"/ZUV-Update-Manager-*-win64)/"ZUV Update Manager.exe"
# %TEMP%: users/<name>/Temp in Wine 8, AppData/Local/Temp in others.
temp_dir=$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -type d -name Temp | head -n 1)
[ -n "$temp_dir" ] || fail "no temporary directory in $WINEPREFIX/drive_c/users"

# Starts the unpacked program with its debug log on standard error; no
# WINEPATH, so it finds nothing but what the zip holds.
start_program() {
    program_log=$logs/$1.log
    env -u WINEPATH "$wine" "$program" >"$program_log" 2>&1 &
    program_pid=$!
    pids+=("$program_pid")
}
# Qt writes the log with Windows line ends. (No grep -q after a pipe: it
# would end the pipe's writer early, which pipefail counts as a failure.)
log_has() { tr -d '\r' < "$program_log" | grep -xF -- "$1" >/dev/null; }
log_contains() { tr -d '\r' < "$program_log" | grep -F -- "$1" >/dev/null; }
program_alive() {
    kill -0 "$program_pid" 2>/dev/null || fail "the program ended; its log: $(tail -n 20 "$program_log")"
}
find_window() {
    program_alive
    window=$(xdotool search --name '^ZUV Updater$' 2>/dev/null | head -n1)
    [ -n "$window" ]
}
# Closes the window through its own close button and checks the exit code.
close_program() {
    xdotool mousemove --window "$window" 500 10 click 1
    local deadline=$((SECONDS + wait_limit))
    while kill -0 "$program_pid" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "the program did not end within $wait_limit s of its close button"
        sleep 0.2
    done
    local status=0
    wait "$program_pid" || status=$?
    [ "$status" = 0 ] || fail "the program ended with status $status"
    timeout 60 "$wineserver" -w || true
    local left
    left=$(find "$temp_dir" -mindepth 1 -maxdepth 1 -name 'ZUV Update Manager*' | head -n 5)
    [ -z "$left" ] || fail "the program left temporary files behind: $left"
}

# A GUI program (no console window opens with it) carrying the icon group
# and the version resource; their names are UTF-16 text in its resources.
headers=$($triplet-objdump -p "$program")
grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "the program is not a Windows GUI program"
resources=$(strings -e l "$program")
for text in IDI_ICON1 StringFileInfo "ZUV Update Manager.exe" ProductVersion; do
    grep -qF -- "$text" <<<"$resources" || fail "the program carries no \"$text\" resource"
done
say "The program is a Windows GUI program with its icon group and version resource"

mkdir -p "$work/empty-drive"
map_drive_e "$work/empty-drive"
say "Starting the unpacked program ($(basename "$zip"))"
start_program window
wait_for "program window" find_window
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" = 512 ] && [ "$HEIGHT" = 512 ] || fail "the window is $WIDTH x $HEIGHT, not 512 x 512"
# A frameless window asks the window manager for no decorations: in the
# Motif hints (flags, functions, decorations, ...) the flags have bit 2
# ("decorations given") and the decorations are 0.
hints=$(xprop -id "$window" _MOTIF_WM_HINTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ' ')
flags=$(echo "$hints" | cut -d, -f1)
decorations=$(echo "$hints" | cut -d, -f3)
if [ -z "$hints" ] || [ $((flags & 2)) = 0 ] || [ $((decorations)) != 0 ]; then
    fail "the window asks for a frame (Motif hints: ${hints:-none})"
fi
wait_for "volume scan in the log" log_has "void UpdaterPrivate::scanFinished()"
# The scan logs each volume's root, whether it holds FW.ZUV, and its keys.
for drive in C E; do
    log_has "\"$drive:/\"" || fail "the scan did not look at drive $drive:; log: $(head -n 20 "$program_log")"
done
say "Window \"ZUV Updater\" shows, frameless, 512 x 512; the scan looked at drives" \
    "$(tr -d '\r' < "$program_log" | sed -n 's/^"\([A-Z]:\)\/"$/\1/p' | tr '\n' ' ')"
close_program
say "Closed through its close button with status 0"

# ---------------------------------------------------------------- end to end

seen_twice() { [ "$(tr -d '\r' < "$program_log" | grep -cF -- "$1")" -ge 2 ]; }
# Release 3.0, signed, then its primary firmware replaced together with its
# MD5 in the manifest: the update is refused and the card stays at 2.0.
refuse_forgery() {
    say "Forgery: signed release 3.0 with PRIMARY.BIN and its MD5 replaced"
    "$python" "$repo/tools/make-sample-release.py" release "$work/release-3.0" --primary 3.0 --secondary 2.0
    "$publish" publish --quiet "${sign[@]}" "$work/release-3.0" "$work/tree" >/dev/null
    local dir=$work/tree/ZUVUpdater/TheOrvik/PrimaryFirmware/3.0
    printf 'forged' >"$dir/PRIMARY.BIN"
    sed -i "s/^[0-9a-f]\{32\}  PRIMARY.BIN\$/$(md5sum <"$dir/PRIMARY.BIN" | cut -c1-32)  PRIMARY.BIN/" "$dir/manifest.txt"
    cp -a "$card" "$work/card-2.0"
    click "$button"   # OK: back to searching, then to the device page
    wait_for "device page" device_page
    click "$button"
    wait_for "update information" seen_twice "void UpdaterPrivate::readUpdateFW()"
    wait_for "UPDATE button" stable_button lowest
    click "$button"
    wait_for "message page" message_page
    log_contains "refused: it is not the one the signed release record names there" \
        || fail "the forged release was not refused; see $program_log"
    diff -r "$work/card-2.0" "$card" >"$logs/forgery.diff" || fail "the forgery changed the card: $(head "$logs/forgery.diff")"
    say "The forged release is refused and the card still holds release 2.0"
    click "$button"
}

publish=$linux_build/tools/zuv-publish
probe=$linux_build/tools/zuv-window-probe
if [ ! -x "$publish" ] || [ ! -x "$probe" ]; then
    if [ -f "$linux_build/CMakeCache.txt" ]; then
        cmake --build "$linux_build" --target zuv-publish zuv-window-probe -j"${JOBS:-2}" >/dev/null
    else
        say "End to end: skipped, no Linux build in $linux_build to publish the release with ('make configure')"
        say "Done in $((SECONDS - started)) s; logs in $logs"
        exit 0
    fi
fi
python=/usr/bin/python3
say "End to end: release 1.0 on the card as E:, release 2.0 on the server"
"$python" "$repo/tools/make-sample-release.py" release "$work/release-1.0"
"$python" "$repo/tools/make-sample-release.py" release "$work/release-2.0" --primary 2.0 --secondary 2.0
# With a release key (make windows-test builds the program with its public
# half) the releases are published signed, and a forged one follows.
sign=()
[ -z "${ZUV_TEST_RELEASE_KEY:-}" ] || sign=(--sign "$ZUV_TEST_RELEASE_KEY")
"$publish" publish --quiet "${sign[@]}" "$work/release-1.0" "$work/tree" >/dev/null
"$publish" publish --quiet "${sign[@]}" "$work/release-2.0" "$work/tree" >/dev/null
card=$work/card
"$python" "$repo/tools/make-sample-release.py" device "$card" --serial ORV-000042
map_drive_e "$card"

start_nginx "$work/nginx" "$work/tree" || fail "nginx did not start: $(cat "$work/nginx/error.log")"
timeout 60 "$wine" reg add 'HKCU\Software\ZUV Systems\ZUV Update Manager' /v UpdateServer /t REG_SZ \
    /d "$server" /f >/dev/null 2>&1 || fail "cannot set UpdateServer in Wine's registry"

start_program end-to-end
wait_for "program window" find_window
eval "$(xdotool getwindowgeometry --shell "$window")"
geometry="$X $Y $WIDTH $HEIGHT"

wait_for "device page (the card on E:)" device_page
say "Device found on E:; CHECK FOR UPDATES"
click "$button"
wait_for "update information" log_contains "void UpdaterPrivate::readUpdateFW()"
wait_for "UPDATE button" stable_button lowest
say "UPDATE"
click "$button"
wait_for "message page" message_page
log_contains "verifyFilesFinished() true" || fail "the update did not succeed; see $program_log"
[ ! -e "$card/ZUV.FW" ] || fail "ZUV.FW is still on the card"
"$python" "$repo/tools/make-sample-release.py" device "$work/expected" --primary 2.0 --secondary 2.0 --serial ORV-000042
diff -r -x ZUV.FW -x FW.ZUV -x ZUVREL.TXT "$work/expected" "$card" >"$logs/card.diff" \
    || fail "the card's files differ from release 2.0: $(head -n 20 "$logs/card.diff")"
[ ${#sign[@]} = 0 ] || [ -f "$card/ZUVREL.TXT" ] || fail "the card does not name the signed release it holds"
say "The card holds exactly release 2.0 and ZUV.FW is gone"
if [ ${#sign[@]} = 0 ]; then
    click "$button"   # OK: back to searching
else
    refuse_forgery
fi
close_program
say "Done in $((SECONDS - started)) s; logs in $logs"
