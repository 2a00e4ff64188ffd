#!/bin/sh
# Prints the prefix of the Qt 5 for MinGW that the Windows build uses, after
# making it ready in a cache directory of the user's:
#   1. ZUV_MINGW_QT, when set, names a ready prefix;
#   2. else the packed prefix in ZUV_QT5_MINGW64_DIR (default: ../shared/qt5-mingw64
#      beside the clone) is checked against its README's sha256 and unpacked once;
#   3. else tools/windows/build-mingw-qt.sh builds it from Debian's sources, once.
# The cache is ZUV_CACHE_DIR (default ${XDG_CACHE_HOME:-~/.cache}/zuv-qt5-mingw64).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

say() { echo "[mingw-qt] $*" >&2; }
# shellcheck source=tools/windows/unpack-prefix.sh
. "$here/unpack-prefix.sh"

if [ -n "${ZUV_MINGW_QT:-}" ]; then
    if [ ! -d "$ZUV_MINGW_QT/lib/cmake/Qt5" ]; then
        say "ZUV_MINGW_QT=$ZUV_MINGW_QT holds no Qt 5 (no lib/cmake/Qt5)"
        exit 1
    fi
    echo "$ZUV_MINGW_QT"
    exit 0
fi

packed_dir=${ZUV_QT5_MINGW64_DIR:-$repo/../shared/qt5-mingw64}
cache=${ZUV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zuv-qt5-mingw64}
mkdir -p "$cache"

# One unpack or build at a time per cache; a second caller waits for it.
exec 9>"$cache/.lock"
if ! flock -w 7200 9; then
    say "another build holds $cache/.lock for two hours; giving up"
    exit 1
fi

tarball=$(ls "$packed_dir"/qt5.*-mingw64.tar.zst 2>/dev/null | head -n 1 || true)
if [ -n "$tarball" ]; then
    target="$cache/$(basename "$tarball" .tar.zst)"
    unpack_prefix "$tarball" "$target"
    echo "$target"
    exit 0
fi

target="$cache/built-5.15.8"
if [ ! -f "$target/.complete" ]; then
    say "no packed Qt in $packed_dir: building it from Debian's sources (45 to 60 minutes on 2 cores)"
    "$here/build-mingw-qt.sh" "$cache/work" "$target" >&2
    touch "$target/.complete"
fi
echo "$target"
