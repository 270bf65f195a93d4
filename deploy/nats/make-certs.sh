#!/usr/bin/env bash
# Makes a throwaway certificate authority in DIR, with a certificate for a
# nats-server on the loopback interface (localhost, 127.0.0.1, ::1) and a
# client certificate for each NAME given (default: server operator client1
# client2). For demonstrations and tests: the keys are not protected.
#
#   deploy/nats/make-certs.sh DIR [NAME...]
#
# Writes ca.pem, nats-cert.pem and nats-key.pem (the nats-server's), and
# NAME-cert.pem and NAME-key.pem per client.
set -euo pipefail
dir="$1"
shift
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(server operator client1 client2)
mkdir -p "$dir"
cd "$dir"
quiet() { "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=qm throwaway CA" \
  -keyout ca-key.pem -out ca.pem
# Signs NAME-key.pem's request with the CA; $2 is the extension section.
sign() {
  local name="$1" extensions="$2"
  quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=$name" -keyout "$name-key.pem" \
    -out "$name.csr"
  quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca-key.pem -CAcreateserial \
    -days 2 -out "$name-cert.pem" -extfile <(printf '%s\n' "$extensions")
  rm -f "$name.csr"
}
sign nats "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
extendedKeyUsage=serverAuth"
for name in "${names[@]}"; do
  sign "$name" "extendedKeyUsage=clientAuth"
done
rm -f ca.srl
chmod 600 ./*-key.pem
