#!/bin/sh
# Signs Windows binaries and installer packages in place with Authenticode
# (osslsigncode, SHA-256):
#   sign.sh <key directory> FILE...
# The maker's certificate and key come from ZUV_CODESIGN_CERT (PEM, or DER
# .spc/.cer, the chain included) and ZUV_CODESIGN_KEY (PEM or DER), the
# key's password, if any, from ZUV_CODESIGN_PASSWORD. Without them a
# throwaway test certificate is made once in <key directory> (openssl), so
# that the signing always runs; Windows does not trust it. With
# ZUV_CODESIGN_TIMESTAMP_URL (an RFC 3161 server) the signatures are
# timestamped, so that they stay valid after the certificate expires.
set -eu
keys=$1
shift

say() { echo "[sign] $*" >&2; }

if [ -n "${ZUV_CODESIGN_CERT:-}" ] || [ -n "${ZUV_CODESIGN_KEY:-}" ]; then
    cert=${ZUV_CODESIGN_CERT:?ZUV_CODESIGN_KEY is set, ZUV_CODESIGN_CERT is not}
    key=${ZUV_CODESIGN_KEY:?ZUV_CODESIGN_CERT is set, ZUV_CODESIGN_KEY is not}
else
    cert=$keys/test-codesign.crt
    key=$keys/test-codesign.key
    if [ ! -f "$cert" ] || [ ! -f "$key" ]; then
        say "no ZUV_CODESIGN_CERT/ZUV_CODESIGN_KEY: making a test certificate in $keys"
        mkdir -p "$keys"
        (umask 077 && openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
            -subj "/CN=ZUV Update Manager test signing (untrusted)/O=ZUV Systems" \
            -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
            -keyout "$key" -out "$cert" 2>/dev/null)
    fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zuv-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
password=
if [ -n "${ZUV_CODESIGN_PASSWORD:-}" ]; then
    # From a file, so that the password shows in no process list.
    (umask 077 && printf '%s' "$ZUV_CODESIGN_PASSWORD" > "$work/password")
    password="-readpass $work/password"
fi
timestamp=
[ -n "${ZUV_CODESIGN_TIMESTAMP_URL:-}" ] && timestamp="-ts $ZUV_CODESIGN_TIMESTAMP_URL"

for file in "$@"; do
    # shellcheck disable=SC2086
    osslsigncode sign -certs "$cert" -key "$key" $password $timestamp -h sha256 \
        -n "ZUV Update Manager" -i "https://www.zuv-systems.com" \
        -in "$file" -out "$work/signed" >"$work/log" 2>&1 \
        || { say "cannot sign $file: $(cat "$work/log")"; exit 1; }
    mv "$work/signed" "$file"
done
say "signed $# files with $(basename "$cert")"
