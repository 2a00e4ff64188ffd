#!/bin/sh
# Installs the Debian packages that building, running and testing need.
# Installs only what is missing, so running it again costs a second.
#   install-deps.sh            the Linux program and its tests
#   install-deps.sh windows    the Windows program: MinGW-w64, Wine, packing
#                              (zip, wixl's installer, osslsigncode's
#                              signatures; the licence texts come from the
#                              Debian packages of what the program ships)
set -eu

WINDOWS_PACKAGES="
cmake make binutils g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
wine wine64 zstd zip unzip xvfb xdotool x11-utils imagemagick nginx-light curl python3 util-linux
wixl msitools osslsigncode openssl
libqt5core5a libqt5qml5 libqt5quick5 libqt5quickcontrols2-5 libsodium23 gcc-mingw-w64-base mingw-w64-common
"

if [ "${1:-}" = windows ]; then
    PACKAGES=$WINDOWS_PACKAGES
else
PACKAGES="
cmake make g++ pkg-config
qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev qtdeclarative5-dev-tools
qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
qml-module-qtquick-templates2 qml-module-qttest
nginx-light xvfb xdotool x11-utils imagemagick
binutils-mingw-w64-x86-64 python3-fonttools
util-linux curl clang libclang-rt-14-dev
libsodium-dev
libfuse3-dev fuse3 exfat-fuse exfatprogs fusefat dosfstools
"
fi

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
        *" installed") ;;
        *) missing="$missing $package" ;;
    esac
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
