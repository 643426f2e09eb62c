#!/bin/sh
# Makes the four chain files that ship in dorvane/MIRVO/P7B/ from a small certificate hierarchy of
# our own: two roots and four user-issuing certificate authorities with fixed subject key
# identifiers. The keys live in a temporary folder that is removed at the end; only the DER
# PKCS#7 chain files are kept. A deployment replaces these files, and the SKIs in the properties
# template of the signing module, with the broker's own.
#
#   Quorelt Root CA 2012 ─┬─ Quorelt Secure VEXA_2012           -> Quorelt Secure VEXA_2012.p7b
#   Quorelt Root CA 2014 ─┼─ Quorelt Secure VEXA_2014           -> Quorelt Secure VEXA_2014.p7b
#                         │    └─ MIRVO Financial User VEXA_2017 -> MIRVO Financial User VEXA_2017.p7b
#                         └─ MIRVO Financial User VEXA_2014     -> MIRVO Financial User VEXA_2014.p7b
#
# Usage: tools/make_p7b.sh [output folder]   (default: dorvane/MIRVO/P7B beside this script's repo)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
. "$here/ca_lib.sh"
out=${1:-"$here/../dorvane/MIRVO/P7B"}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Subject key identifiers: 20 bytes for the first slot, 32 bytes for the other three (uppercase hex).
SKI_ROOT_2012=94FA2C79B766D3FD42F8484D6EA944FB1600F592
SKI_ROOT_2014=3E424E16E6572877BAD0516D801EBCE439F26ABF6DCE64E5EF05369F065E37BB
SKI_QS_2012=9DB0468DDECFBE117CD5D28C579901EE9F3583C8
SKI_QS_2014=E99492CB0578102497D25D0BEB0F0C321DD60867FDCBD26507A8FA0B024FA036
SKI_MFU_2014=4C9DE980C8C830B8E03A5EAC9C2011B0AFBEC526E29CC8D3D74FDF13A887A43A
SKI_MFU_2017=82852B05F15C6033B2D6EB15720EBE77E5998E6120323B7C46AF874093024BB8

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

ca_config "$work"

# authority certificate: $1 SKI (hex), $2 path length or empty
ext() {
  printf '[ v3 ]\nbasicConstraints = critical, CA:TRUE%s\nkeyUsage = critical, keyCertSign, cRLSign\n' \
    "${2:+, pathlen:$2}"
  printf 'subjectKeyIdentifier = %s\nauthorityKeyIdentifier = keyid:always\n' "$1"
}

# make NAME SUBJECT SKI SERIAL START END ISSUER(empty = self-signed) PATHLEN
make() {
  name=$1 subj=$2 ski=$3 serial=$4 start=$5 end=$6 issuer=$7 pathlen=$8
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$name.key" 2>/dev/null
  ext "$ski" "$pathlen" > "$name.ext"
  ca_issue "$name" "$subj" "$serial" "$start" "$end" "$issuer"
}

END=20491231155959Z
make root2012 "/C=TW/O=Quorelt Secure Ltd./CN=Quorelt Root CA 2012" $SKI_ROOT_2012 2012A0 20120101000000Z $END "" ""
make root2014 "/C=TW/O=Quorelt Secure Ltd./CN=Quorelt Root CA 2014" $SKI_ROOT_2014 2014A0 20140101000000Z $END "" ""
make qs2012 "/C=TW/O=Quorelt Secure Ltd./OU=VEXA/CN=Quorelt Secure VEXA_2012" $SKI_QS_2012 2012B1 20120301000000Z $END root2012 0
make qs2014 "/C=TW/O=Quorelt Secure Ltd./OU=VEXA/CN=Quorelt Secure VEXA_2014" $SKI_QS_2014 2014B1 20140301000000Z $END root2014 1
make mfu2014 "/C=TW/O=MIRVO Financial Co./OU=VEXA/CN=MIRVO Financial User VEXA_2014" $SKI_MFU_2014 2014C1 20140601000000Z $END root2014 0
make mfu2017 "/C=TW/O=MIRVO Financial Co./OU=VEXA/CN=MIRVO Financial User VEXA_2017" $SKI_MFU_2017 2017C1 20170601000000Z $END qs2014 0

# chain file: root first, then the authorities below it in order
p7b() { file=$1; shift; ca_p7b "$out/$file" "$@"; }
p7b "Quorelt Secure VEXA_2012.p7b" root2012 qs2012
p7b "Quorelt Secure VEXA_2014.p7b" root2014 qs2014
p7b "MIRVO Financial User VEXA_2014.p7b" root2014 mfu2014
p7b "MIRVO Financial User VEXA_2017.p7b" root2014 qs2014 mfu2017

# every chain verifies in itself
for f in "$out"/*.p7b; do
  openssl pkcs7 -inform DER -in "$f" -print_certs > chain.pem
  openssl verify -CAfile chain.pem chain.pem > /dev/null
done
echo "chain files written to $out"
