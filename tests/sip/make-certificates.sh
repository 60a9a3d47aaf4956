#!/bin/sh
# Certificates for the TLS tests, in directory $1: two CAs (ca, other-ca),
# and leaves NAME (tmx, phone, pbx signed by ca; stranger signed by other-ca),
# each as NAME.crt and NAME.key and both in NAME.pem. EC keys: quick to make.
set -e
cd "$1"
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
for ca in ca other-ca; do
    openssl req -x509 $ec -keyout $ca.key -out $ca.pem -days 2 -subj /CN=$ca 2>/dev/null
done
leaf() {
    openssl req $ec -keyout $1.key -out $1.csr -subj /CN=$1 2>/dev/null
    openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -out $1.crt -days 2 2>/dev/null
    cat $1.crt $1.key > $1.pem
}
leaf tmx ca
leaf phone ca
leaf pbx ca
leaf stranger other-ca
