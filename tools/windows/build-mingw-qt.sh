#!/bin/sh
# Builds Qt 5.15 for 64-bit Windows (MinGW-w64, posix threads) from Debian
# bookworm's own source packages, patches applied, into a prefix that the
# Windows build of the program uses: qtbase, qtdeclarative and
# qtquickcontrols2, with what the program needs and no more. About 45 to 60
# minutes on 2 cores; the build trees (about 1 GB) go when it is done.
#
#   build-mingw-qt.sh WORK_DIR PREFIX
#
# Nothing of the system changes: the deb-src lists live in WORK_DIR (apt's
# own options point at them), and the posix variant of the MinGW compiler
# is chosen through links in WORK_DIR, not through update-alternatives.
# Environment: JOBS (default 2), ZUV_DEBIAN_MIRROR, ZUV_DEBIAN_SECURITY_MIRROR.
set -eu
work=${1:?usage: build-mingw-qt.sh WORK_DIR PREFIX}
prefix=${2:?usage: build-mingw-qt.sh WORK_DIR PREFIX}
jobs=${JOBS:-2}
mirror=${ZUV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${ZUV_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
triplet=x86_64-w64-mingw32

# The versions the program was built and tested with; where the archive has
# moved on, its current bookworm version is taken and named.
QTBASE=qtbase-opensource-src=5.15.8+dfsg-11+deb12u3
QTDECLARATIVE=qtdeclarative-opensource-src=5.15.8+dfsg-3
QTQUICKCONTROLS2=qtquickcontrols2-opensource-src=5.15.8+dfsg-2

say() { echo "[build-mingw-qt] $*" >&2; }

mkdir -p "$work" "$prefix"
work=$(cd "$work" && pwd)
prefix=$(cd "$prefix" && pwd)

# ------------------------------------------------------------ tools

missing=""
for tool in dpkg-source make g++ perl python3 $triplet-g++-posix $triplet-gcc-posix $triplet-windres; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    say "missing:$missing (Debian packages dpkg-dev build-essential perl python3 g++-mingw-w64-x86-64-posix)"
    exit 1
fi

# Qt's configure calls x86_64-w64-mingw32-g++ and friends; these links make
# them the posix-thread variant, which std::thread and Qt's threads need.
mkdir -p "$work/bin"
for tool in gcc g++; do
    ln -sfn "$(command -v $triplet-$tool-posix)" "$work/bin/$triplet-$tool"
done
PATH=$work/bin:$PATH
export PATH

# ------------------------------------------------------------ sources

apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
cat > "$apt_dir/sources.list" <<EOF
deb-src $mirror bookworm main
deb-src $mirror bookworm-updates main
deb-src $security bookworm-security main
EOF
apt_get() {
    apt-get -q \
        -o Dir::Etc::SourceList="$apt_dir/sources.list" \
        -o Dir::Etc::SourceParts=/nonexistent \
        -o Dir::State::Lists="$apt_dir/lists" \
        -o Dir::Cache="$apt_dir/cache" \
        -o Debug::NoLocking=1 \
        -o APT::Sandbox::User="$(id -un)" \
        "$@"
}

# Unpacks one source package (its Debian patches applied) below src/ and
# prints its directory.
fetch() {
    package=${1%%=*}
    if ! ls -d "$work/src/$package"-*/ >/dev/null 2>&1; then
        mkdir -p "$work/src"
        if ! (cd "$work/src" && apt_get source "$1" >&2); then
            say "$1 is no longer in the archive; taking bookworm's current $package"
            (cd "$work/src" && apt_get source "$package" >&2)
        fi
    fi
    ls -d "$work/src/$package"-*/ | head -n 1 | sed 's|/$||'
}

say "reading bookworm's source lists"
apt_get update >&2
qtbase_src=$(fetch "$QTBASE")
qtdeclarative_src=$(fetch "$QTDECLARATIVE")
qtquickcontrols2_src=$(fetch "$QTQUICKCONTROLS2")

# ------------------------------------------------------------ qtbase

# Each module is built in a directory of its own beside the sources; a
# module whose install finished is not built again.
build_module() {
    name=$1
    shift
    if [ -f "$work/build/$name/.installed" ]; then
        say "$name: already installed"
        return
    fi
    rm -rf "$work/build/$name"
    mkdir -p "$work/build/$name"
    say "$name: configuring"
    (cd "$work/build/$name" && "$@" >&2)
    if [ "$name" = qtdeclarative ]; then
        skip_d3d12
    fi
    say "$name: building with $jobs jobs"
    make -C "$work/build/$name" -j"$jobs" >&2
    make -C "$work/build/$name" install >&2
    touch "$work/build/$name/.installed"
}

# Software rendering only (-no-opengl): it runs under Wine and on PCs
# without GL drivers. The offscreen plugin needs FreeType. Debian's dfsg
# sources lack 3rdparty/wintab and 3rdparty/sqlite: no tablet events, no SQL.
build_module qtbase "$qtbase_src/configure" -prefix "$prefix" \
    -xplatform win32-g++ -device-option CROSS_COMPILE=$triplet- \
    -opensource -confirm-license -release -shared -strip -nomake examples -nomake tests \
    -no-opengl -no-widgets -no-dbus -no-icu -no-ssl -no-direct2d \
    -no-feature-tabletevent -no-feature-sql -no-sql-sqlite -no-sql-odbc \
    -qt-zlib -qt-libpng -no-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype

# ------------------------------------------------------------ qtdeclarative

# The Direct3D 12 scene graph needs Microsoft's shader compiler, and this
# source tree has no switch to leave it out: its directory gets a Makefile
# that does nothing, which qmake's recursion keeps since it exists.
skip_d3d12() {
    d3d12=$work/build/qtdeclarative/src/plugins/scenegraph/d3d12
    mkdir -p "$d3d12"
    printf 'first:\n\t@:\n.DEFAULT:\n\t@:\n' > "$d3d12/Makefile"
}

build_module qtdeclarative "$prefix/bin/qmake" "$qtdeclarative_src" -- -no-feature-qml-debug

# ------------------------------------------------------------ qtquickcontrols2

# The default style alone.
build_module qtquickcontrols2 "$prefix/bin/qmake" "$qtquickcontrols2_src" -- \
    -no-feature-quickcontrols2-material -no-feature-quickcontrols2-universal \
    -no-feature-quickcontrols2-imagine -no-feature-quickcontrols2-fusion

# ------------------------------------------------------------ done

# The prefix answers for wherever it is moved.
printf '[Paths]\nPrefix=..\n' > "$prefix/bin/qt.conf"
say "Qt for MinGW is in $prefix; removing the build trees"
rm -rf "$work/build" "$work/src" "$work/apt"
