#!/usr/bin/env bash
# The built vmrkxupdate.exe carries a valid Authenticode signature by the
# build's test certificate, and osslsigncode's verification of it means
# something: with the build's certificate as the only CA, per build folder,
#   the program as built               passes (SHA-256, one signature)
#   the same, another CA given         fails
#   one byte of its code altered       fails, on the message digest
#   its signature removed              fails
#   that copy signed again             passes (so the file was sound)
# The first folder must hold a signed program; the others are checked when
# they hold one (the i686 build is made only with the whole suite).
#   authenticode_test.sh BUILD_DIR [BUILD_DIR...]
set -uo pipefail
tool=${OSSLSIGNCODE:-osslsigncode}
work=$(mktemp -d /tmp/vmrk-authenticode.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# verify NAME FILE CA: osslsigncode's verdict; its report kept in $work/NAME.txt.
verify() { "$tool" verify -in "$2" -CAfile "$3" >"$work/$1.txt" 2>&1; }
report() { sed 's/^/    /' "$work/$1.txt" >&2; }

# A CA that signed nothing here.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=someone else" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/other.key" -out "$work/other.pem" 2>/dev/null ||
  { echo "FAILED: openssl could not make a certificate" >&2; exit 1; }

first=1
for dir in "$@"; do
  exe="$dir/vmrkxupdate.exe" ca="$dir/test-signing.pem" key="$dir/test-signing.key"
  if [ ! -f "$exe" ] && [ $first -eq 0 ]; then
    echo "$dir: no vmrkxupdate.exe, not checked"
    continue
  fi
  first=0
  [ -f "$exe" ] || { fail "$exe: no program"; continue; }
  [ -f "$ca" ] && [ -f "$key" ] || { fail "$dir: no test certificate and key (scripts/build-windows.sh makes them)"; continue; }
  name=$(basename "$dir")

  if verify "$name-signed" "$exe" "$ca" && grep -q "^Signature verification: ok" "$work/$name-signed.txt" &&
     grep -Eq "^Message digest algorithm +: SHA256" "$work/$name-signed.txt" &&
     grep -q "^Number of verified signatures: 1$" "$work/$name-signed.txt"; then
    echo "$name: as built: passes"
  else
    fail "$name: $exe does not verify as one SHA-256 signature by $ca"; report "$name-signed"
  fi

  if verify "$name-other-ca" "$exe" "$work/other.pem"; then
    fail "$name: verified against a CA that never signed it"; report "$name-other-ca"
  else
    echo "$name: another CA: fails"
  fi

  # A byte in the middle of the image, far from the headers' checksum and the
  # signature at the end, both of which the digest leaves out.
  cp "$exe" "$work/$name-altered.exe"
  size=$(stat -c %s "$exe"); offset=$((size / 2))
  byte=$(od -An -tu1 -j "$offset" -N1 "$exe" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0x5a)))" | dd of="$work/$name-altered.exe" bs=1 seek="$offset" conv=notrunc status=none
  if [ "$(cmp "$exe" "$work/$name-altered.exe" | wc -l)" -ne 1 ] || [ "$(stat -c %s "$work/$name-altered.exe")" -ne "$size" ]; then
    fail "$name: the altered copy is not the program with one byte changed"
  elif verify "$name-altered" "$work/$name-altered.exe" "$ca"; then
    fail "$name: verified with byte $offset altered"; report "$name-altered"
  elif ! grep -q "^Calculated message digest.*MISMATCH" "$work/$name-altered.txt"; then
    fail "$name: the altered copy failed, but not on its digest"; report "$name-altered"
  else
    echo "$name: one byte altered: fails"
  fi

  if ! "$tool" remove-signature -in "$exe" -out "$work/$name-unsigned.exe" >"$work/$name-remove.txt" 2>&1; then
    fail "$name: osslsigncode could not remove the signature"; report "$name-remove"
  elif [ "$(stat -c %s "$work/$name-unsigned.exe")" -ge "$size" ]; then
    fail "$name: removing the signature left a file as long as the signed one"
  elif verify "$name-unsigned" "$work/$name-unsigned.exe" "$ca"; then
    fail "$name: verified without its signature"; report "$name-unsigned"
  else
    echo "$name: signature removed: fails"
    if "$tool" sign -h sha256 -certs "$ca" -key "$key" -in "$work/$name-unsigned.exe" -out "$work/$name-resigned.exe" \
         >"$work/$name-resign.txt" 2>&1 && verify "$name-resigned" "$work/$name-resigned.exe" "$ca"; then
      echo "$name: signed again: passes"
    else
      fail "$name: the unsigned copy, signed again, does not verify"; report "$name-resign"; report "$name-resigned"
    fi
  fi
done
[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
