#!/bin/sh
# Gathers the Windows program and everything it loads into one folder: the
# program, the Qt and MinGW runtime DLLs it links (found by walking the
# import tables), the Windows platform plugin, the QML modules its window
# imports (found by qmlimportscanner), a qt.conf that points Qt at them,
# the user's README.txt and the licences. Unpacked anywhere, the folder
# runs. Its binaries are Authenticode-signed (sign.sh), and it is packed
# twice: as a zip and as a per-user installer (msi.sh), signed too.
#   package.sh <cmake build dir> <Qt prefix> <output dir>
set -eu
build=$1
qt=$2
out=$3
repo=$(cd "$(dirname "$0")/../.." && pwd)
triplet=x86_64-w64-mingw32

say() { echo "[package] $*" >&2; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
name="ZUV-Update-Manager-$version-win64"
program="$build/app/ZUV Update Manager.exe"
[ -f "$program" ] || { say "no program at $program: build it first"; exit 1; }

stage="$out/$name"
rm -rf "$stage" "$out/$name.zip" "$out/$name.msi"
mkdir -p "$stage/platforms" "$stage/qml"
cp "$program" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"

# The QML modules the window imports, each one directory below qml/.
"$qt/bin/qmlimportscanner" -rootPath "$repo/qml" -importPath "$qt/qml" \
    | sed -n 's/^ *"path": "\(.*\)",\{0,1\}$/\1/p' | sort -u | while read -r module; do
    relative=${module#"$qt/qml/"}
    mkdir -p "$stage/qml/$relative"
    # Not the modules nested inside it (they are copied when imported), nor
    # Qt Creator's designer files.
    (cd "$module" && find . -mindepth 1 -type d \( -name designer -o -exec test -f '{}/qmldir' ';' \) -prune \
        -o -type f -print) | while read -r file; do
        mkdir -p "$(dirname "$stage/qml/$relative/$file")"
        cp "$module/$file" "$stage/qml/$relative/$file"
    done
done

cat > "$stage/qt.conf" <<'CONF'
[Paths]
Prefix=.
Plugins=.
Qml2Imports=qml
CONF

# Every DLL that the program, the plugin or a QML module imports and that
# Qt or MinGW provides, and what those import in turn. Windows' own DLLs
# are found nowhere here and stay out.
search="$qt/bin /usr/lib/gcc/$triplet/12-posix /usr/$triplet/lib"
gcc_dir=$(dirname "$($triplet-g++-posix -print-libgcc-file-name)")
search="$gcc_dir $search"
imports() { $triplet-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
queue="$out/.package-queue"
find "$stage" -name '*.exe' -o -name '*.dll' > "$queue"
while [ -s "$queue" ]; do
    while read -r binary; do
        for dll in $(imports "$binary"); do
            [ -f "$stage/$dll" ] && continue
            for dir in $search; do
                if [ -f "$dir/$dll" ]; then
                    cp "$dir/$dll" "$stage/$dll"
                    echo "$stage/$dll"
                    break
                fi
            done
        done
    done < "$queue" > "$queue.next"
    mv "$queue.next" "$queue"
done
rm -f "$queue"
# Debian's MinGW runtime DLLs carry their debugging sections (libstdc++
# alone is 23 MB with them, 2 MB without).
for dll in "$stage"/lib*.dll; do
    $triplet-strip --strip-debug "$dll"
done

# ---------------------------------------------------------------- licences

# What the folder carries besides the program: the user's README.txt and,
# under licences\, the licence of each part, taken from the Debian packages
# the parts are built from. Text files with Windows line ends, for Notepad.
first_of() {
    for file in "$@"; do
        [ -f "$file" ] && { echo "$file"; return 0; }
    done
    say "none of these licence files is installed: $*"
    return 1
}
crlf() { sed 's/\r*$/\r/' "$@"; }
add_licences() {
    local docs=/usr/share/doc licences="$stage/licences" part
    mkdir -p "$licences"
    crlf "$repo/app/windows/README.txt" > "$stage/README.txt"
    crlf "$(first_of /usr/share/common-licenses/LGPL-3)" > "$licences/LGPL-3.0.txt"
    crlf "$(first_of /usr/share/common-licenses/GPL-3)" > "$licences/GPL-3.0.txt"
    crlf "$repo/app/windows/qt-source.txt" > "$licences/Qt-source.txt"
    for part in libqt5core5a libqt5qml5 libqt5quick5 libqt5quickcontrols2-5; do
        printf '==== %s\n\n' "$part"
        cat "$(first_of "$docs/$part/copyright")"
        printf '\n'
    done | crlf > "$licences/Qt-copyright.txt"
    { cat "$repo/app/windows/mingw-runtime.txt"; printf '\n==== GCC runtime\n\n'
      cat "$(first_of "$docs/gcc-mingw-w64-base/copyright")"; printf '\n==== MinGW-w64 (winpthreads)\n\n'
      cat "$(first_of "$docs/mingw-w64-common/copyright")"; } | crlf > "$licences/MinGW-runtime.txt"
    crlf "$(first_of "$docs/libsodium23/copyright" "$docs/libsodium-dev/copyright")" > "$licences/libsodium.txt"
    crlf "$repo/app/windows/artwork.txt" > "$licences/ZUV-font-and-pictures.txt"
}
add_licences

# ---------------------------------------------------------------- signing, zip and installer

# The program and every DLL it ships are signed before they are packed;
# then the installer, which carries the signed files, is signed itself.
find "$stage" \( -name '*.exe' -o -name '*.dll' \) -print0 | xargs -0 "$repo/tools/windows/sign.sh" "$out/codesign"
(cd "$out" && zip -q -r -9 "$name.zip" "$name")
say "$out/$name.zip: $(du -k "$out/$name.zip" | cut -f1) KiB, $(du -sk "$stage" | cut -f1) KiB unpacked"
"$repo/tools/windows/msi.sh" "$stage" "$version" "$out/$name.msi"
"$repo/tools/windows/sign.sh" "$out/codesign" "$out/$name.msi"
echo "$out/$name.zip"
echo "$out/$name.msi"
