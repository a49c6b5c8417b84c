#!/usr/bin/env bash
# A self-signed code-signing certificate and its key, for the test builds'
# Authenticode signing and the test that verifies it: DIR/test-signing.pem
# and DIR/test-signing.key, DIR a build folder. Made once and kept, so that
# a second build neither relinks nor signs again; made anew only when
# missing or within a day of expiry. Tests only: nothing trusts it, and its
# key lies unprotected in the build folder. Prints nothing.
#   make-test-signing-cert.sh DIR
set -euo pipefail
dir=$1
cert="$dir/test-signing.pem"; key="$dir/test-signing.key"
if [ -s "$cert" ] && [ -s "$key" ] && openssl x509 -in "$cert" -noout -checkend 86400 >/dev/null 2>&1; then
  exit 0
fi
mkdir -p "$dir"
# Written beside, then renamed into place, the certificate last: an
# interrupted run leaves no valid certificate beside a key not its own.
umask 077
openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
  -subj "/CN=vmrkxupdate test signing (tests only)" \
  -addext "basicConstraints=critical,CA:FALSE" \
  -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" \
  -keyout "$key.new" -out "$cert.new" 2>/dev/null
mv "$key.new" "$key"
mv "$cert.new" "$cert"
