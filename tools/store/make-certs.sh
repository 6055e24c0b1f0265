#!/bin/sh
# Makes a throwaway certificate authority and, signed by it, in DIR: a server certificate
# for HOST (server.pem, server.key, for store.py) and a code-signing certificate for the
# store (signer.pem, signer.key, for make-copy). ca.pem is to be trusted by the test Wine
# prefix only; nothing here is ever trusted by the machine itself. signer.pem is made
# last, so its presence says the whole set is there.
# The server certificate names every HOST given. A set that is already complete and
# names them all is kept as it is, so callers may run this every time.
# Usage: make-certs.sh DIR HOST [HOST...]
set -eu
dir=$1
host=$2
shift
mkdir -p "$dir"
cd "$dir"
complete=yes
[ -s signer.pem ] && [ -s server.pem ] || complete=no
[ $complete = no ] || openssl x509 -in server.pem -noout -checkend 86400 >/dev/null || complete=no
names=
for name in "$@"; do
    names="${names:+$names,}DNS:$name"
    if [ $complete = yes ] &&
        ! openssl x509 -in server.pem -noout -checkhost "$name" 2>/dev/null | grep -q 'does match'; then
        complete=no
    fi
done
[ $complete = no ] || exit 0
rm -f signer.pem
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout ca.key -out ca.pem \
    -subj "/CN=Quarryvale test authority" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

# certificate NAME SUBJECT EXTENSIONS: NAME.pem and NAME.key, signed by the authority.
certificate() {
    openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" \
        -subj "$2" 2>/dev/null
    printf '%b' "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
        -sha256 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext" ca.srl
}
certificate server "/CN=$host" \
    "subjectAltName=$names\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n"
certificate signer "/CN=Quarryvale test store" \
    "extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:FALSE\n"
