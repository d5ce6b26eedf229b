#!/usr/bin/env bash
# Signs Windows programs with Authenticode, in place:
#   UPDATER_SIGN_PFX=cert.pfx UPDATER_SIGN_PASSWORD=... scripts/sign-windows.sh A.exe [B.exe ...]
# SHA-256; with UPDATER_SIGN_TIMESTAMP (an RFC 3161 server's URL) the signature is
# timestamped, so that it stays valid after the certificate expires.
set -euo pipefail
cd "$(dirname "$0")/.."

: "${UPDATER_SIGN_PFX:?names the PKCS#12 file with the certificate and its key}"
: "${UPDATER_SIGN_PASSWORD?is the password of the PKCS#12 file}"
scripts/deps.sh --only osslsigncode

timestamp=()
[ -z "${UPDATER_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$UPDATER_SIGN_TIMESTAMP")
for program in "$@"; do
    signed="$program.signing"
    rm -f "$signed"
    # The password goes through a file, not the command line that other users can read.
    osslsigncode sign -pkcs12 "$UPDATER_SIGN_PFX" -readpass <(printf '%s' "$UPDATER_SIGN_PASSWORD") \
        -h sha256 -n UpdateQuorilexVideo "${timestamp[@]}" -in "$program" -out "$signed" >/dev/null \
        || { rm -f "$signed"; exit 1; }
    mv "$signed" "$program"
    echo "Signed $program"
done
