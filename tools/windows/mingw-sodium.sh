#!/bin/sh
# Prints the prefix of the static libsodium for MinGW that the Windows build
# checks release signatures with, after making it ready in a cache directory
# of the user's:
#   1. ZUV_MINGW_SODIUM, when set, names a ready prefix;
#   2. else the packed prefix in ZUV_SODIUM_MINGW64_DIR (default:
#      ../shared/libsodium-mingw64 beside the clone) is checked against its
#      README's sha256 and unpacked once.
# The cache is ZUV_CACHE_DIR (default ${XDG_CACHE_HOME:-~/.cache}/zuv-libsodium-mingw64).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
say() { echo "[mingw-sodium] $*" >&2; }
# shellcheck source=tools/windows/unpack-prefix.sh
. "$here/unpack-prefix.sh"

ready=${ZUV_MINGW_SODIUM:-}
if [ -n "$ready" ]; then
    [ -f "$ready/lib/libsodium.a" ] || { say "ZUV_MINGW_SODIUM=$ready holds no lib/libsodium.a"; exit 1; }
    echo "$ready" && exit 0
fi

packed_dir=${ZUV_SODIUM_MINGW64_DIR:-$here/../../../shared/libsodium-mingw64}
cache=${ZUV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zuv-libsodium-mingw64}
tarball=$(ls "$packed_dir"/libsodium-*-mingw64.tar.zst 2>/dev/null | head -n 1 || true)
[ -n "$tarball" ] || { say "no packed libsodium in $packed_dir (its README tells how to build one)"; exit 1; }
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock -w 600 9 || { say "another build holds $cache/.lock"; exit 1; }

# Unlike Qt, a library that checks signatures is never taken unchecked.
unpack_prefix "$tarball" "$cache/$(basename "$tarball" .tar.zst)" strict
echo "$cache/$(basename "$tarball" .tar.zst)"
