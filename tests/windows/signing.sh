#!/usr/bin/env bash
# Signs a copy of the built program as scripts/windows.sh does when given a certificate,
# with a throwaway code-signing certificate, and verifies the signature against it.
#   signing.sh PROGRAM.exe WORK_FOLDER
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
program=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorilex Test Signing" \
    -addext extendedKeyUsage=codeSigning -keyout key.pem -out cert.pem 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.pfx -passout pass:test-password
cp "$program" unsigned.exe
cp "$program" signed.exe
UPDATER_SIGN_PFX=$PWD/cert.pfx UPDATER_SIGN_PASSWORD=test-password \
    "$scripts/sign-windows.sh" "$PWD/signed.exe"
if osslsigncode verify -in unsigned.exe -CAfile cert.pem >/dev/null 2>&1; then
    echo "an unsigned program passed verification" >&2
    exit 1
fi
osslsigncode verify -in signed.exe -CAfile cert.pem | tee verify.txt
grep -q "Signature verification: ok" verify.txt
grep -q "Message digest algorithm  : SHA256" verify.txt
