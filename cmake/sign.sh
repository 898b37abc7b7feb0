#!/bin/bash
# Signs a built program in place (Authenticode, SHA-256) with osslsigncode.
#   sign.sh EXE PFX [TIMESTAMP_URL]
# The certificate's password is read from the environment variable that
# SETUP_SIGN_PASSWORD_VAR names (default SETUP_SIGN_PASSWORD), so it never
# appears on a command line or in the build's cache.
set -euo pipefail
exe="$1" pfx="$2" ts="${3:-}"
var="${SETUP_SIGN_PASSWORD_VAR:-SETUP_SIGN_PASSWORD}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
printf '%s' "${!var:-}" >"$tmp/pass"
args=(sign -pkcs12 "$pfx" -readpass "$tmp/pass" -h sha256 -n "塔维罗" -in "$exe"
      -out "$tmp/signed.exe")
if [ -n "$ts" ]; then args+=(-ts "$ts"); fi
osslsigncode "${args[@]}" >/dev/null
cp "$tmp/signed.exe" "$exe"
