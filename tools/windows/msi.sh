#!/bin/sh
# Builds the per-user Windows Installer package of a packed program folder
# with wixl (tools/windows/installer.wxs):
#   msi.sh <program folder> <version> <output.msi>
# A newer version given here upgrades an installed older one in place.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
folder=$(cd "$1" && pwd)
version=$2
output=$3

say() { echo "[msi] $*" >&2; }
command -v wixl >/dev/null || { say "wixl is not installed (tools/install-deps.sh windows)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zuv-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
# Every file of the folder, one component each, and the removal of every
# directory on uninstall.
"$here/msi-files.py" "$folder" SourceDir > "$work/files.wxs"
# wixl takes only relative source paths: it runs in the work directory,
# where the folder and the icon are linked. It warns (on stderr) about
# attributes of the full WiX it does not know.
ln -s "$folder" "$work/program"
ln -s "$repo/app/app.ico" "$work/app.ico"
(cd "$work" && wixl -a x64 -D Version="$version" -D SourceDir=program -D Icon=app.ico -D Win64=yes \
    -o "$work/out.msi" "$here/installer.wxs" files.wxs 2>wixl.log) \
    || { cat "$work/wixl.log" >&2; exit 1; }
mv "$work/out.msi" "$output"
say "$output: $(du -k "$output" | cut -f1) KiB"
