#!/bin/sh
# Builds the libFuzzer targets of the properties parser (with the signer-filter parsers and the
# encoders), the PKCS#12 loader and the certificate-field readers with AddressSanitizer and
# UndefinedBehaviorSanitizer, seeds them with the test fixtures, and runs each for a bounded time
# (FUZZ_SECONDS, default 60). Prints the executions of each run; a crash, a leak or a sanitizer
# report fails the script.
#
# Usage: tools/fuzz/run_fuzz.sh [target ...]     (targets: property pkcs12 x509; default all three)
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/fuzz/fuzz_common.sh"
targets=${*:-property pkcs12 x509}
cxx=${CXX_FUZZ:-clang++-14}

/usr/bin/python3 "$root/tests/support/make_pki.py" "$work/pki" > /dev/null

for t in $targets; do
  fuzz_build "$cxx" "$t"
  corpus=$work/corpus_$t
  mkdir -p "$corpus"
  case $t in
    pkcs12) cp "$work"/pki/*.pfx "$corpus"/ ;;
    x509) cp "$work"/pki/*.der "$corpus"/ ;;
    property)
      printf 'LOG.path = logs\nLOG.file = vexa.log\nLOG.level = DEBUG\nPFX.path = .\nPFX.file = a.pfx\nPKCS7.addCert = 1\nPKCS7.addPlainText = true\nP7B0.SKI = A1B2\n    ' > "$corpus/template"
      printf '# c\r\n; d\r\n  k = v = w \r\n=x\nn = -12abc\n' > "$corpus/crlf"
      printf '//S_C=TW,S_O=Bank,S_OU=Dept,S_CN=Wang//I_CN=Root//' > "$corpus/filter"
      printf '/C=TW/O=Bank/OU=Dept/CN=Wang Da' > "$corpus/name" ;;
  esac
  fuzz_run "$t"
done
