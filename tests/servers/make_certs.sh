#!/usr/bin/env bash
# Creates a throwaway CA and two server certificates in the given folder:
#   ca.pem / ca.key         the CA the tests trust
#   server.pem / server.key "localhost" and 127.0.0.1
#   other.pem / other.key   "other.invalid" only, for the wrong-host case
# Existing files are kept, so several servers of one test run share the same CA.
set -euo pipefail

dir=${1:?usage: make_certs.sh FOLDER}
mkdir -p "$dir"
cd "$dir"
[ -s ca.pem ] && [ -s server.pem ] && [ -s other.pem ] && exit 0

newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

newkey ca.key
openssl req -x509 -new -key ca.key -sha256 -days 2 -subj "/CN=PelimoMail Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem

issue() { # name common-name subjectAltName
  newkey "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  {
    echo "subjectAltName=$3"
    echo "basicConstraints=CA:FALSE"
    echo "keyUsage=digitalSignature"
    echo "extendedKeyUsage=serverAuth"
  } >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
    -sha256 -days 2 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

issue server localhost "DNS:localhost,IP:127.0.0.1"
issue other other.invalid "DNS:other.invalid"
