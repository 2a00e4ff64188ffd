#!/bin/sh
# Cross-compiles the Windows program against the Qt for MinGW and packs it:
#   build.sh WINDOWS_BUILD_ROOT [all]
# leaves WINDOWS_BUILD_ROOT/ZUV-Update-Manager-<version>-win64.zip and .msi
# (signed: tools/windows/sign.sh); with "all" it builds the portable test
# suites too. CMAKE_FLAGS go to the configure step (-DZUV_UPDATE_SERVER=...).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
root=${1:-$repo/build-windows}
what=${2:-program}
mkdir -p "$root"
root=$(cd "$root" && pwd)

qt=$("$here/mingw-qt.sh")
# Signatures are checked with the same release keys as on Linux
# (ZUV_RELEASE_KEYS, separated by ';').
sodium=$("$here/mingw-sodium.sh")
cmake -S "$repo" -B "$root/build" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DZUV_MINGW_QT="$qt" -DZUV_MINGW_SODIUM="$sodium" -DZUV_RELEASE_KEYS="${ZUV_RELEASE_KEYS:-}" \
    -DCMAKE_BUILD_TYPE=Release ${CMAKE_FLAGS:-} >/dev/null
if [ "$what" = all ]; then
    cmake --build "$root/build" -j"${JOBS:-2}"
else
    cmake --build "$root/build" -j"${JOBS:-2}" --target zuv-update-manager
fi
"$here/package.sh" "$root/build" "$qt" "$root" >/dev/null
