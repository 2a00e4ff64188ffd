#!/bin/bash
# The same update done with the standard tools, for comparison with the
# program: md5sum -c over the card's files, curl (10 transfers at a time)
# for those that differ, md5sum -c over the downloads, then cp and a sync
# of the card's file system.
#
#   baseline.sh PLAN DEVICE WORK
#
# PLAN has one line per update directory: the card's sub-directory (empty
# for the root), "|", the manifest's address. WORK is an empty directory
# for the manifests and downloads. Prints the time of each phase in
# seconds ("check 1.234", ...) and the number of files fetched.
set -euo pipefail

plan=$1
device=$2
work=$3

now() { date +%s%N; }
seconds() { echo "$1 $2" | awk '{ printf "%.6f", ($2 - $1) / 1e9 }'; }
fail() { echo "baseline: $*" >&2; exit 1; }

# Every transfer gives up after a minute without progress.
curl_options=(--silent --no-progress-meter --show-error --fail --globoff --speed-limit 1 --speed-time 60)

start=$(now)

# Check: fetch the manifests and hash the card's files.
mkdir -p "$work/manifests" "$work/files"
fetch=()
index=0
while IFS='|' read -r directory url; do
    fetch+=(-o "$work/manifests/$index.txt" "$url")
    index=$((index + 1))
done < "$plan"
curl "${curl_options[@]}" --parallel --parallel-max 10 "${fetch[@]}" || fail "manifest download failed"

# One line per entry: md5, place on the card, place of the download, address.
index=0
while IFS='|' read -r directory url; do
    prefix=${directory:+$directory/}
    awk -v card="$device/$prefix" -v local="$work/files/$prefix" -v base="${url%manifest.txt}" '
        { md5 = substr($0, 1, 32); path = substr($0, 35); print md5 "\t" card path "\t" local path "\t" base path }
    ' "$work/manifests/$index.txt"
    index=$((index + 1))
done < "$plan" > "$work/entries.tsv"
awk -F'\t' '{ print $1 "  " $2 }' "$work/entries.tsv" > "$work/card.md5"
# md5sum -c fails when anything differs; the lines tell what.
{ md5sum -c --quiet "$work/card.md5" 2>/dev/null || true; } | sed -n 's/: FAILED.*$//p' > "$work/differing.txt"
awk -F'\t' 'NR == FNR { differs[$0] = 1; next } ($2 in differs)' "$work/differing.txt" "$work/entries.tsv" \
    > "$work/fetch.tsv"
checked=$(now)

# Download what differs, ten at a time.
awk -F'\t' '{ printf "url = \"%s\"\noutput = \"%s\"\n", $4, $3 }' "$work/fetch.tsv" > "$work/curl.conf"
if [ -s "$work/curl.conf" ]; then
    curl "${curl_options[@]}" --create-dirs --parallel --parallel-max 10 --config "$work/curl.conf" \
        || fail "download failed"
fi
downloaded=$(now)

# Verify the downloads.
awk -F'\t' '{ print $1 "  " $3 }' "$work/fetch.tsv" > "$work/files.md5"
if [ -s "$work/files.md5" ]; then
    md5sum -c --quiet "$work/files.md5" || fail "a download differs from its manifest"
fi
verified=$(now)

# Copy onto the card and flush its file system.
cp -r "$work/files/." "$device/" || fail "copy failed"
rm -f "$device/ZUV.FW"
sync -f "$device" || fail "sync failed"
copied=$(now)

echo "check $(seconds "$start" "$checked")"
echo "download $(seconds "$checked" "$downloaded")"
echo "verify $(seconds "$downloaded" "$verified")"
echo "copy $(seconds "$verified" "$copied")"
echo "wall $(seconds "$start" "$copied")"
echo "files $(wc -l < "$work/fetch.tsv")"
