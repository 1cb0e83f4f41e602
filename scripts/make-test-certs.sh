#!/usr/bin/env bash
# Makes the certificates the TLS tests and the demo server use: ./scripts/make-test-certs.sh OUTDIR
#
#   ca.pem / ca.key                 test certificate authority
#   server.pem / server.key         localhost and 127.0.0.1, signed by the CA, valid for 10 years
#   expired.pem / expired.key       localhost, signed by the CA, valid only during 2020
#   selfsigned.pem / selfsigned.key localhost, signed by itself
#   wronghost.pem / wronghost.key   wrong.example (no localhost name), signed by the CA
#
# Every key is an unencrypted 2048-bit RSA key. Existing files in OUTDIR are replaced.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
mkdir -p "$out"
cd "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }

# Certificate authority.
newkey ca.key
openssl req -x509 -new -key ca.key -sha256 -days 3650 -subj "/C=DE/O=Quivern Test/CN=Quivern Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem

# A minimal CA configuration: `openssl ca` is the only command of OpenSSL 3.0 that takes explicit
# start and end dates, which the expired certificate needs.
mkdir -p "$work/db"
: >"$work/db/index.txt"
echo 1000 >"$work/db/serial"
cat >"$work/ca.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
dir = $work/db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $PWD/ca.pem
private_key = $PWD/ca.key
default_md = sha256
policy = any
unique_subject = no
preserve = yes
copy_extensions = none
[any]
countryName = optional
organizationName = optional
commonName = supplied
[server_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = \$ENV::SAN
EOF

# sign NAME CN SAN [START END]: key NAME.key and certificate NAME.pem signed by the CA.
sign() {
  local name=$1 cn=$2 san=$3
  newkey "$name.key"
  openssl req -new -key "$name.key" -subj "/C=DE/O=Quivern Test/CN=$cn" -out "$work/$name.csr"
  local dates=(-days 3650)
  if [ $# -ge 5 ]; then dates=(-startdate "$4" -enddate "$5"); fi
  SAN=$san openssl ca -batch -notext -config "$work/ca.cnf" -extensions server_ext "${dates[@]}" \
    -in "$work/$name.csr" -out "$name.pem" 2>/dev/null
}

sign server localhost "DNS:localhost,IP:127.0.0.1,IP:::1"
sign expired localhost "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20201231235959Z
sign wronghost wrong.example "DNS:wrong.example"

newkey selfsigned.key
openssl req -x509 -new -key selfsigned.key -sha256 -days 3650 -subj "/C=DE/O=Quivern Test/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -out selfsigned.pem

chmod 600 ./*.key
echo "make-test-certs: certificates written to $PWD"
