#!/bin/bash
# Memory and temporary space of an update run against a server that tries
# to exhaust it (bench/hostile-server.py): a gzip bomb as the manifest, a
# 300 MB one-line manifest, and 600 MB sent for a 512 KiB file. Each case
# runs once without a release record and once with one (as a program with
# release keys runs), through zuv-bench-driver. Prints one line per run:
# the outcome, the resident memory before the run and its peak during it,
# and the most the run's temporary directory held.
#
#   bench/hostile.sh [BUILD_DIR]
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
wait_limit=120
fail() { echo "[hostile] FAILED: $*" >&2; exit 1; }
# shellcheck source=tools/scriptlib.sh
. "$source_dir/tools/scriptlib.sh"

cmake --build "$build" -j"${JOBS:-2}" --target zuv-bench-driver >/dev/null
driver=$build/bench/zuv-bench-driver
work=$(mktemp -d "${TMPDIR:-/tmp}/zuv-hostile.XXXXXX")
server_pid=
cleanup() {
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
    [ -z "$server_pid" ] || wait "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

python3 "$source_dir/bench/hostile-server.py" "$work/port" &
server_pid=$!
wait_for "hostile server" test -s "$work/port"
port=$(cat "$work/port")

# The record a program with keys holds once FW.ZUV's signature is checked.
python3 - "$work/FW.ZUV" <<'EOF'
import hashlib, sys
data = bytes(512 * 1024)
manifest = hashlib.md5(data).hexdigest().encode() + b"  F.BIN\n"
def line(path, content):
    return "%s=%s %d\n" % (path, hashlib.sha256(content).hexdigest(), len(content))
with open(sys.argv[1], "w") as out:
    out.write("VER_BOOT=1\nVER_PRI=4\nVER_SEC=3\n\n[Release]\nModel=TheOrvik\nSequence=1\n"
              "Expires=2099-01-01T00:00:00Z\n")
    out.write(line("PrimaryFirmware/4/manifest.txt", manifest) + line("PrimaryFirmware/4/F.BIN", data))
EOF

printf '%-6s %-9s %-14s %10s %10s %10s %14s\n' case record result idleKiB peakKiB growthKiB maxTempBytes
for case in bomb line body; do
    for keyed in no yes; do
        base=http://127.0.0.1:$port/$case/ZUVUpdater/TheOrvik/
        run=$work/run-$case-$keyed
        mkdir -p "$run/tmp" "$run/card"
        record=()
        [ "$keyed" = no ] || record=(--record "$work/FW.ZUV" "$base")
        TMPDIR=$run/tmp "$driver" --device "$run/card" --directory "" "$base/PrimaryFirmware/4/manifest.txt" \
            "${record[@]}" --timeout 300 >"$run/figures.json" 2>"$run/stderr" &
        pid=$!
        most=0
        while kill -0 "$pid" 2>/dev/null; do
            now=$(du -sb "$run/tmp" 2>/dev/null | cut -f1 || echo 0)
            [ "${now:-0}" -le "$most" ] || most=$now
            sleep 0.05
        done
        wait "$pid" || true
        python3 - "$run/figures.json" "$case" "$keyed" "$most" <<'EOF'
import json, sys
figures = json.load(open(sys.argv[1]))
idle, peak = figures["idleRssKiB"], figures["peakRssKiB"]
print("%-6s %-9s %-14s %10d %10d %10d %14s" % (sys.argv[2], sys.argv[3], figures["result"], idle, peak,
                                                 peak - idle, sys.argv[4]))
EOF
    done
done
