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
#      Neither the window nor the update changes the registry;
#   4. the product: the icon sizes in the program, the Authenticode
#      signatures, a run killed with taskkill /F whose temporary directory
#      the next start removes, and the installer: install per user, update
#      with the installed program, upgrade, uninstall, count what is left.
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
# download them. No winemenubuilder: it would copy the installer's Start-menu
# shortcut into the Linux desktop's menus, outside the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

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

# ---------------------------------------------------------------- registry

# The program keeps no settings: what it does leaves the registry as it
# was. Wine's registry is compared through exports of HKCU and HKLM\Software.
registry_export() {
    local hive
    for hive in HKCU 'HKLM\Software'; do
        timeout 120 "$wine" reg export "$hive" "Z:$work/registry.reg" /y >/dev/null 2>&1 \
            || fail "cannot export $hive from Wine's registry"
        iconv -f UTF-16 -t UTF-8 < "$work/registry.reg" | tr -d '\r'
    done > "$1"
}
# Registry values (the lines below a key) that differ between two exports;
# keys without values (Windows Installer's own empty ones) do not count.
registry_changes() {
    diff "$1" "$2" | grep -E '^[<>] .' | grep -vE '^[<>] \[' || true
}

# ---------------------------------------------------------------- suites

# The suites find Qt's and MinGW's DLLs where they were built against.
gcc_dir=$(dirname "$($triplet-g++-posix -print-libgcc-file-name)")
suite_path="Z:$qt/bin;Z:$gcc_dir;Z:/usr/$triplet/lib"

failed=()
# ZUV_WINE_SUITES=0 leaves the suites out, to try the other steps alone.
[ "${ZUV_WINE_SUITES:-1}" = 0 ] && say "Suites left out (ZUV_WINE_SUITES=0)"
while [ "${ZUV_WINE_SUITES:-1}" != 0 ] && IFS= read -r suite; do
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
registry_export "$logs/registry-before-window.reg"
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
registry_export "$logs/registry-after-window.reg"
registry_changes "$logs/registry-before-window.reg" "$logs/registry-after-window.reg" > "$logs/registry-window.txt"
[ ! -s "$logs/registry-window.txt" ] || fail "a start and a close changed the registry: $(head -n 20 "$logs/registry-window.txt")"
say "Closed through its close button with status 0; the registry is as before"

# ---------------------------------------------------------------- end to end

# Release 3.0, signed, then its primary firmware replaced together with its
# MD5 in the manifest: the update of the card (at release 2.0) is refused and
# the card stays as it was.
refuse_forgery() {
    say "Forgery: signed release 3.0 with PRIMARY.BIN and its MD5 replaced"
    "$python" "$repo/tools/make-sample-release.py" release "$work/release-3.0" --primary 3.0 --secondary 2.0
    "$publish" publish --quiet "${sign[@]}" "$work/release-3.0" "$work/tree" >/dev/null
    local dir=$work/tree/ZUVUpdater/TheOrvik/PrimaryFirmware/3.0
    printf 'forged' >"$dir/PRIMARY.BIN"
    sed -i "s/^[0-9a-f]\{32\}  PRIMARY.BIN\$/$(md5sum <"$dir/PRIMARY.BIN" | cut -c1-32)  PRIMARY.BIN/" "$dir/manifest.txt"
    rm -rf "$work/card-2.0"
    cp -a "$card" "$work/card-2.0"
    start_program forgery
    wait_for "program window" find_window
    eval "$(xdotool getwindowgeometry --shell "$window")"
    geometry="$X $Y $WIDTH $HEIGHT"
    wait_for "device page" device_page
    click "$button"
    wait_for "update information" log_contains "void UpdaterPrivate::readUpdateFW()"
    wait_for "UPDATE button" stable_button lowest
    click "$button"
    wait_for "message page" message_page
    log_contains "refused: it is not the one the signed release record names there" \
        || fail "the forged release was not refused; see $program_log"
    diff -r "$work/card-2.0" "$card" >"$logs/forgery.diff" || fail "the forgery changed the card: $(head "$logs/forgery.diff")"
    say "The forged release is refused and the card still holds release 2.0"
    click "$button"
    close_program
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

start_nginx "$work/nginx" "$work/tree" || fail "nginx did not start: $(cat "$work/nginx/error.log")"

# ---------------------------------------------------------------- the product
# What a Windows user meets around the program: its icon at every size, its
# signatures, what a killed run leaves, and the installer.

# The icon group carries images drawn for every size Windows shows.
check_icon_group() {
    local sides
    sides=$("$python" "$here/icon-sizes.py" "$program" | sed -n 's/^IDI_ICON1 //p')
    for side in 256 48 32 24 16; do
        grep -qw "$side" <<<"$sides" || fail "the icon group holds no $side pixel image (it holds: ${sides:-nothing})"
    done
    say "The icon group holds images of $sides pixels"
}

# Every shipped binary and the installer carry a good Authenticode
# signature, and a binary changed after signing is reported bad. The test
# certificate that a build without the maker's makes is trusted only here.
check_signatures() {
    local ca=${ZUV_CODESIGN_CERT:-$root/codesign/test-codesign.crt} file count=0 tampered
    while IFS= read -r file; do
        osslsigncode verify -CAfile "$ca" -in "$file" >"$logs/verify.log" 2>&1 \
            || fail "the signature of $file does not verify: $(tail -n 5 "$logs/verify.log")"
        count=$((count + 1))
    done < <(find "$(dirname "$program")" \( -name '*.exe' -o -name '*.dll' \) | sort; echo "$msi")
    # Untrusted without the certificate: verify fails for want of a chain.
    if [ -z "${ZUV_CODESIGN_CERT:-}" ] && osslsigncode verify -in "$program" >/dev/null 2>&1; then
        fail "the test certificate is trusted without being given"
    fi
    tampered=$work/tampered.exe
    cp "$program" "$tampered"
    printf 'X' | dd of="$tampered" bs=1 seek=4096 conv=notrunc status=none
    if osslsigncode verify -CAfile "$ca" -in "$tampered" >"$logs/verify-tampered.log" 2>&1 \
        || ! grep -q MISMATCH "$logs/verify-tampered.log"; then
        fail "a changed program is not reported bad: $(tail -n 5 "$logs/verify-tampered.log")"
    fi
    say "Signatures: $count binaries and the installer verify; a changed program is reported bad"
}

# A slow update server for the killed run: every firmware file sends half
# its body, then nothing for five minutes; the lists and their signatures
# come whole.
start_slow_server() {
    local port_file=$work/slow-server.port
    "$python" - "$work/tree" "$port_file" <<'PY' >"$logs/slow-server.log" 2>&1 &
import functools, http.server, os, sys, time
tree, port_file = sys.argv[1], sys.argv[2]
class Handler(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, output):
        if self.path.endswith(("manifest.txt", "FW.ZUV", "changelist.txt", ".sig")):
            return super().copyfile(source, output)
        body = source.read()
        output.write(body[:len(body) // 2])
        output.flush()
        time.sleep(300)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=tree))
server.daemon_threads = True
open(port_file + ".part", "w").write(str(server.server_address[1]))
os.rename(port_file + ".part", port_file)
server.serve_forever()
PY
    slow_server_pid=$!
    pids+=("$slow_server_pid")
    wait_for "slow server" test -s "$port_file"
    slow_server=http://127.0.0.1:$(cat "$port_file")
}
run_directories() { find "$temp_dir" -mindepth 1 -maxdepth 1 -type d -name 'ZUV Update Manager-*' | wc -l; }
set_update_server() {
    timeout 60 "$wine" reg add 'HKCU\Software\ZUV Systems\ZUV Update Manager' /v UpdateServer /t REG_SZ \
        /d "$1" /f >/dev/null 2>&1 || fail "cannot set UpdateServer in Wine's registry"
}

# A run killed half way through its downloads (taskkill /F) leaves its
# temporary directory; the next start removes it.
check_killed_run() {
    start_slow_server
    set_update_server "$slow_server"
    rm -rf "$card"
    "$python" "$repo/tools/make-sample-release.py" device "$card" --serial ORV-000042
    map_drive_e "$card"
    start_program killed-run
    wait_for "program window" find_window
    eval "$(xdotool getwindowgeometry --shell "$window")"
    geometry="$X $Y $WIDTH $HEIGHT"
    wait_for "device page (the card on E:)" device_page
    click "$button"
    wait_for "update information" log_contains "void UpdaterPrivate::readUpdateFW()"
    wait_for "UPDATE button" stable_button lowest
    click "$button"
    wait_for "downloads" log_contains "Creating temp file"
    timeout 60 "$wine" taskkill /F /IM "ZUV Update Manager.exe" >/dev/null 2>&1 || fail "taskkill did not end the program"
    wait "$program_pid" 2>/dev/null || true
    timeout 60 "$wineserver" -w || true
    local left
    left=$(run_directories)
    [ "$left" -ge 1 ] || fail "the killed run left no temporary directory: nothing was tested"
    say "Killed half way through its downloads; it left $left temporary directory"
    start_program after-killed-run
    wait_for "program window" find_window
    wait_for "volume scan in the log" log_has "void UpdaterPrivate::scanFinished()"
    wait_for "the killed run's directory to go" test "$(run_directories)" = 0
    close_program
    say "Temporary directories left after a killed run and one more start: $(run_directories)"
    set_update_server "$server"
    kill "$slow_server_pid" 2>/dev/null || true
}

# Installs the signed installer per user, updates the card with the
# installed program, upgrades it with a newer package, uninstalls it, and
# counts what is left of it in files and in the registry.
# Windows keeps a per-user installation's entry in HKCU, Wine in HKLM.
installed_entry() {
    local hive
    for hive in HKCU HKLM; do
        timeout 60 "$wine" reg query "$hive\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" /s 2>/dev/null \
            | tr -d '\r' | awk '/^HKEY/ { key = $0 } /DisplayName.*ZUV Update Manager/ { print key }'
    done
}
installed_value() {
    timeout 60 "$wine" reg query "$(installed_entry | head -n1)" /v "$1" 2>/dev/null | tr -d '\r' \
        | sed -n "s/^ *$1 *REG_SZ *//p"
}
run_msiexec() {
    timeout 300 "$wine" msiexec "$@" /qn >>"$logs/msiexec.log" 2>&1 || fail "msiexec $* failed; see $logs/msiexec.log"
    timeout 60 "$wineserver" -w || true
}
check_installer() {
    local install_root="$WINEPREFIX/drive_c" newer version
    # Files, and directories of the program's name (Windows Installer's own
    # empty folders may stay).
    program_files() { find "$install_root" -type f -o -iname '*zuv*' | sort; }
    program_files > "$logs/files-before-install.txt"
    registry_export "$logs/registry-before-install.reg"
    run_msiexec /i "Z:$msi"
    program=$(find "$install_root" -path '*/Programs/ZUV Update Manager/ZUV Update Manager.exe' | head -n1)
    [ -n "$program" ] || fail "the installer put no program below the user's Programs folder"
    find "$install_root" -ipath '*/Start Menu/Programs/ZUV Update Manager.lnk' | grep -q . \
        || fail "the installer made no Start-menu shortcut"
    [ "$(installed_entry | wc -l)" = 1 ] || fail "no entry under installed programs"
    version=$(installed_value DisplayVersion)
    [ "$version" = "$msi_version" ] && [ "$(installed_value Publisher)" = "ZUV Systems" ] \
        || fail "the installed programs entry shows version '$version', publisher '$(installed_value Publisher)'"
    say "Installed per user: $(dirname "${program#"$WINEPREFIX/drive_c/"}"), Start-menu shortcut, entry $version by ZUV Systems"
    update_end_to_end installed

    # The same folder as the next version, signed like the first.
    newer=$work/newer.msi
    local next=${msi_version%.*}.$((${msi_version##*.} + 1))
    "$here/msi.sh" "$(ls -d "$work/Program Files"/ZUV-Update-Manager-*-win64)" "$next" "$newer" 2>/dev/null
    "$here/sign.sh" "$root/codesign" "$newer" 2>/dev/null
    run_msiexec /i "Z:$newer"
    [ "$(installed_entry | wc -l)" = 1 ] && [ "$(installed_value DisplayVersion)" = "$next" ] \
        || fail "after the upgrade: $(installed_entry | wc -l) entries, version $(installed_value DisplayVersion)"
    [ -f "$program" ] || fail "the upgrade removed the program"
    say "Upgraded in place to $next"

    run_msiexec /x "Z:$newer"
    program_files > "$logs/files-after-uninstall.txt"
    registry_export "$logs/registry-after-uninstall.reg"
    comm -13 "$logs/files-before-install.txt" "$logs/files-after-uninstall.txt" \
        | grep -v '/Temp\(/\|$\)' > "$logs/files-left.txt" || true
    registry_changes "$logs/registry-before-install.reg" "$logs/registry-after-uninstall.reg" > "$logs/registry-left.txt"
    say "Left after uninstalling: $(wc -l < "$logs/files-left.txt") files, $(wc -l < "$logs/registry-left.txt") registry values"
    [ ! -s "$logs/files-left.txt" ] || fail "uninstalling left files: $(head -n 10 "$logs/files-left.txt")"
    [ ! -s "$logs/registry-left.txt" ] || fail "uninstalling left registry values: $(head -n 10 "$logs/registry-left.txt")"
}

windows_product_checks() {
    msi=${zip%.zip}.msi
    [ -f "$msi" ] || fail "no installer beside $zip; run 'make windows' first"
    msi_version=$(basename "$zip" -win64.zip | sed 's/^ZUV-Update-Manager-//')
    check_icon_group
    check_signatures
    check_killed_run
    check_installer
}

# ---------------------------------------------------------------- end to end

# One update of the card on E: from release 1.0 to 2.0 through the window
# of the program at $program, started as the user would; the card must then
# hold exactly release 2.0 without ZUV.FW.
update_end_to_end() {
    local label=$1
    rm -rf "$card"
    "$python" "$repo/tools/make-sample-release.py" device "$card" --serial ORV-000042
    map_drive_e "$card"
    start_program "$label"
    wait_for "program window" find_window
    eval "$(xdotool getwindowgeometry --shell "$window")"
    geometry="$X $Y $WIDTH $HEIGHT"

    wait_for "device page (the card on E:)" device_page
    say "$label: device found on E:; CHECK FOR UPDATES"
    click "$button"
    wait_for "update information" log_contains "void UpdaterPrivate::readUpdateFW()"
    wait_for "UPDATE button" stable_button lowest
    say "$label: UPDATE"
    click "$button"
    wait_for "message page" message_page
    log_contains "verifyFilesFinished() true" || fail "the update did not succeed; see $program_log"
    [ ! -e "$card/ZUV.FW" ] || fail "ZUV.FW is still on the card"
    diff -r -x ZUV.FW -x FW.ZUV -x ZUVREL.TXT "$work/expected" "$card" >"$logs/card.diff" \
        || fail "the card's files differ from release 2.0: $(head -n 20 "$logs/card.diff")"
    [ ${#sign[@]} = 0 ] || [ -f "$card/ZUVREL.TXT" ] || fail "the card does not name the signed release it holds"
    say "$label: the card holds exactly release 2.0 and ZUV.FW is gone"
    click "$button"   # OK: back to searching
    close_program
}

"$python" "$repo/tools/make-sample-release.py" device "$work/expected" --primary 2.0 --secondary 2.0 --serial ORV-000042
set_update_server "$server"
registry_export "$logs/registry-before.reg"
update_end_to_end end-to-end
registry_export "$logs/registry-after.reg"
registry_changes "$logs/registry-before.reg" "$logs/registry-after.reg" > "$logs/registry-written.txt"
[ ! -s "$logs/registry-written.txt" ] \
    || fail "a start, an update and a close changed the registry: $(head -n 20 "$logs/registry-written.txt")"
say "Registry values written by a start, an update and a close: 0"

zip_program=$program
windows_product_checks
# With a release key: a forged release is refused by the unpacked program.
if [ ${#sign[@]} != 0 ]; then
    program=$zip_program
    refuse_forgery
fi
say "Done in $((SECONDS - started)) s; logs in $logs"
