#!/bin/sh
# Makes a throwaway certificate authority and a server certificate for HOST signed by
# it, in DIR: ca.pem (to be trusted by the test Wine prefix only), server.pem and
# server.key (for store.py). Nothing here is ever trusted by the machine itself.
# Usage: make-certs.sh DIR HOST
set -eu
dir=$1
host=$2
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout ca.key -out ca.pem \
    -subj "/CN=Quarryvale test authority" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
    -subj "/CN=$host" 2>/dev/null
printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' \
    "$host" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -sha256 -extfile server.ext -out server.pem 2>/dev/null
rm -f server.csr server.ext ca.srl
