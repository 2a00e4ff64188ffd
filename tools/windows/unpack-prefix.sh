# Sourced by mingw-qt.sh and mingw-sodium.sh (POSIX sh, `say` defined):
#   unpack_prefix TARBALL TARGET [strict]
# Checks TARBALL against the sha256 its folder's README.md gives for it and
# unpacks the one directory it holds as TARGET, once; TARGET/.complete marks
# a finished unpack. With "strict" a README without the sum refuses it too.
unpack_prefix() {
    [ ! -f "$2/.complete" ] || return 0
    expected=$(sed -n "s/^sha256 of \`$(basename "$1")\`: *\([0-9a-f]\{64\}\).*/\1/p" \
                   "$(dirname "$1")/README.md" 2>/dev/null || true)
    actual=$(sha256sum "$1" | cut -d' ' -f1)
    if { [ -n "$expected" ] || [ "${3:-}" = strict ]; } && [ "$expected" != "$actual" ]; then
        say "$1 is damaged or unknown: sha256 $actual, its README says ${expected:-nothing}"
        exit 1
    fi
    say "unpacking $1 into $2"
    rm -rf "$2" "$2.partial"
    mkdir -p "$2.partial"
    trap 'rm -rf "$2.partial"' EXIT INT TERM
    zstd -q -dc "$1" | tar -x -C "$2.partial"
    # The archive holds one directory: the prefix.
    mv "$(find "$2.partial" -mindepth 1 -maxdepth 1 -type d | head -n 1)" "$2"
    rm -rf "$2.partial"
    trap - EXIT INT TERM
    touch "$2/.complete"
}
