#!/bin/sh
# Test fixtures for the certificate-chain and revocation-list readers, made with the openssl tool
# into the folder given as the first argument (created when missing). Nothing here is committed.
#
# OUT/p7b/   chain files (DER PKCS#7 unless told otherwise)
#   chain.p7b     root R, intermediate I1, issuing CA I2            (the good chain)
#   withee.p7b    R, I1, I2 and the end-entity certificate user     (still accepted)
#   noroot.p7b    I1, I2 without their root
#   expired.p7b   root R, intermediate X whose validity ended in 2020
#   noski.p7b     R, J1 without a SKI, issuing CA J2 under J1
#   loop.p7b      root L without a SKI; A (SKI a, AKI b) and B (SKI b, AKI a), both issued by L
#   nocerts.p7b   a SignedData without certificates (carries one CRL)
#   pem.p7b       the good chain in PEM form
#   notp7.p7b     a text file
# OUT/certs/ signer certificates in DER: user.der (issued by I2), j2user.der (by J2),
#   loopuser.der (by A), i1user.der (by I1)
# OUT/crl/   CRLs of I2: valid.crl (next update in 30 days; revoked serials 00A1, 00, 1234ABCD),
#   empty.crl (no revoked entries), expired.crl (next update in 2020), valid.pem (PEM form)
# OUT/skis.txt  NAME=SKI lines of the fixed subject key identifiers below
set -eu

. "$(cd "$(dirname "$0")/../.." && pwd)/tools/ca_lib.sh"

out=${1:?usage: make_chains.sh OUTDIR}
rm -rf "$out/p7b" "$out/certs" "$out/crl" "$out/work" "$out/skis.txt"
mkdir -p "$out/p7b" "$out/certs" "$out/crl" "$out/work"
out=$(cd "$out" && pwd)
w=$out/work
cd "$w"

SKI_R=1111111111111111111111111111111111111111
SKI_I1=2222222222222222222222222222222222222222222222222222222222222222
SKI_I2=33333333333333333333333333333333333333AB
SKI_X=4444444444444444444444444444444444444444
SKI_J2=5555555555555555555555555555555555555555
SKI_A=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA
SKI_B=BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB

ca_config "$w" "default_crl_days = 30"

# Extension section: $1 ca|user, $2 SKI (hex, "hash" or "none"), $3 AKI ("keyid:always" or "none")
ext() {
  if [ "$1" = ca ]; then
    printf '[ v3 ]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n'
  else
    printf '[ v3 ]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature, nonRepudiation\n'
    printf 'crlDistributionPoints = URI:http://crl.example.test/a.crl, URI:ldap://crl.example.test/b\n'
  fi
  printf 'subjectKeyIdentifier = %s\nauthorityKeyIdentifier = %s\n' "$2" "$3"
}

key() { [ -f "$1.key" ] || openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }

# cert NAME SUBJECT KIND SKI AKI SERIAL START END ISSUER(empty: self-signed)
cert() {
  name=$1 subj=$2 kind=$3 ski=$4 aki=$5 serial=$6 start=$7 end=$8 issuer=$9
  key "$name"
  ext "$kind" "$ski" "$aki" > "$name.ext"
  ca_issue "$name" "$subj" "$serial" "$start" "$end" "$issuer"
}

# ghost NAME LIKE SKI: a self-signed twin of LIKE (same name and key) that carries another SKI, used
# only to stamp chosen authority key identifiers into the certificates it signs
ghost() {
  cp "$2.key" "$1.key"
  cert "$1" "$(openssl x509 -in "$2.pem" -noout -subject -nameopt compat | sed 's/^subject=//')" \
    ca "$3" none 01 20200101000000Z 20491231000000Z ""
}

S=20200101000000Z
E=20491231000000Z
cert R  "/C=TW/O=Dorvane Test/CN=Test Root R" ca $SKI_R keyid:always 0100 $S $E ""
cert I1 "/C=TW/O=Dorvane Test/OU=CA/CN=Test Intermediate I1" ca $SKI_I1 keyid:always 0101 $S $E R
cert I2 "/C=TW/O=Dorvane Test/OU=CA/CN=Test Issuing I2" ca $SKI_I2 keyid:always 0102 $S $E I1
cert user "/C=TW/O=Dorvane Test/OU=Users/CN=Wang Da" user hash keyid:always 00A1 $S $E I2
cert i1user "/C=TW/O=Dorvane Test/OU=Users/CN=Lin Er" user hash keyid:always 00A2 $S $E I1
cert X  "/C=TW/O=Dorvane Test/OU=CA/CN=Test Expired X" ca $SKI_X keyid:always 0103 20100101000000Z 20200101000000Z R
cert J1 "/C=TW/O=Dorvane Test/OU=CA/CN=Test No SKI J1" ca none none 0104 $S $E R
cert J2 "/C=TW/O=Dorvane Test/OU=CA/CN=Test Issuing J2" ca $SKI_J2 none 0105 $S $E J1
cert j2user "/C=TW/O=Dorvane Test/OU=Users/CN=Chen San" user hash keyid:always 00A3 $S $E J2
cert L  "/C=TW/O=Dorvane Test/CN=Test Loop Root L" ca none none 0106 $S $E ""
ghost La L $SKI_A
ghost Lb L $SKI_B
cert A  "/C=TW/O=Dorvane Test/OU=CA/CN=Test Loop A" ca $SKI_A keyid:always 0107 $S $E Lb
cert B  "/C=TW/O=Dorvane Test/OU=CA/CN=Test Loop B" ca $SKI_B keyid:always 0108 $S $E La
cert loopuser "/C=TW/O=Dorvane Test/OU=Users/CN=Huang Si" user hash keyid:always 00A4 $S $E A

p7b() { file=$1; shift; ca_p7b "$out/p7b/$file" "$@"; }
p7b chain.p7b R I1 I2
p7b withee.p7b R I1 I2 user
p7b noroot.p7b I1 I2
p7b expired.p7b R X
p7b noski.p7b R J1 J2
p7b loop.p7b L A B
openssl crl2pkcs7 -nocrl -certfile R.pem -certfile I1.pem -certfile I2.pem -out "$out/p7b/pem.p7b"
echo "this is not a PKCS#7 file" > "$out/p7b/notp7.p7b"

for c in user j2user loopuser i1user; do openssl x509 -in $c.pem -outform DER -out "$out/certs/$c.der"; done

# CRLs of I2: the index lists the revoked serials
crl() {
  name=$1; shift
  openssl ca -config ca.cnf -gencrl -cert I2.pem -keyfile I2.key -out "$w/$name.pem" "$@" 2>/dev/null
  openssl crl -in "$w/$name.pem" -outform DER -out "$out/crl/$name.crl"
}
printf 'R\t491231000000Z\t250101000000Z\t00A1\tunknown\t/CN=a\n' > index.txt
printf 'R\t491231000000Z\t250101000000Z\t00\tunknown\t/CN=b\n' >> index.txt
printf 'R\t491231000000Z\t250101000000Z\t1234ABCD\tunknown\t/CN=c\n' >> index.txt
echo 01 > crlnumber
sed -i "s|^\[ local \]|[ local ]\ncrlnumber = $w/crlnumber|" ca.cnf
crl valid -crldays 30
cp "$w/valid.pem" "$out/crl/valid.pem"
crl expired -crl_lastupdate 20190101000000Z -crl_nextupdate 20200101000000Z
: > index.txt
crl empty -crldays 30

# a SignedData that carries a CRL and no certificate
openssl crl2pkcs7 -in "$w/valid.pem" -outform DER -out "$out/p7b/nocerts.p7b"

cat > "$out/skis.txt" <<SKIS
R=$SKI_R
I1=$SKI_I1
I2=$SKI_I2
X=$SKI_X
J2=$SKI_J2
A=$SKI_A
B=$SKI_B
SKIS
cd "$out"
rm -rf "$w"
