# Shared steps of the scripts that make certificate hierarchies with the openssl tool
# (tools/make_p7b.sh and tests/support/make_chains.sh), sourced by both. Each works in the
# current folder, where the keys, requests, extension files and certificates are NAME.key,
# NAME.csr, NAME.ext and NAME.pem.

# ca_config WORK [LINE ...]: writes ca.cnf for a throwaway authority whose database, serial and
# new certificates live in WORK; each LINE is added to the end of its [ local ] section.
ca_config() {
  ca_work=$1; shift
  {
    cat <<CNF
[ ca ]
default_ca = local
[ local ]
database = $ca_work/index.txt
new_certs_dir = $ca_work
serial = $ca_work/serial
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
CNF
    for line in "$@"; do echo "$line"; done
    cat <<'CNF'
[ anything ]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
CNF
  } > ca.cnf
}

# ca_issue NAME SUBJECT SERIAL START END ISSUER(empty: self-signed): NAME.pem from the key
# NAME.key and the extension section v3 of NAME.ext, signed by ISSUER.pem/ISSUER.key.
ca_issue() {
  name=$1 subj=$2 serial=$3 start=$4 end=$5 issuer=$6
  openssl req -new -config ca.cnf -key "$name.key" -subj "$subj" -out "$name.csr"
  : > index.txt
  echo "$serial" > serial
  if [ -z "$issuer" ]; then
    openssl ca -config ca.cnf -batch -notext -selfsign -keyfile "$name.key" -in "$name.csr" \
      -startdate "$start" -enddate "$end" -extfile "$name.ext" -extensions v3 -out "$name.pem" 2>/dev/null
  else
    openssl ca -config ca.cnf -batch -notext -cert "$issuer.pem" -keyfile "$issuer.key" -in "$name.csr" \
      -startdate "$start" -enddate "$end" -extfile "$name.ext" -extensions v3 -out "$name.pem" 2>/dev/null
  fi
}

# ca_p7b FILE NAME ...: a DER PKCS#7 chain file of the certificates NAME.pem, in the order given.
ca_p7b() {
  file=$1; shift
  args=
  for c in "$@"; do args="$args -certfile $c.pem"; done
  # shellcheck disable=SC2086
  openssl crl2pkcs7 -nocrl $args -outform DER -out "$file"
}
