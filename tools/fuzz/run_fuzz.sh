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
seconds=${FUZZ_SECONDS:-60}
work=${FUZZ_WORK:-$(mktemp -d /tmp/dorvane-fuzz-XXXXXX)}
mkdir -p "$work"
targets=${*:-property pkcs12 x509}
cxx=${CXX_FUZZ:-clang++-14}

/usr/bin/python3 "$root/tests/support/make_pki.py" "$work/pki" > /dev/null

for t in $targets; do
  bin=$work/fuzz_$t
  "$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -DOPENSSL_API_COMPAT=30000 -I"$root/dorvane/MIRVO" \
    "$root/tools/fuzz/fuzz_$t.cpp" "$root"/dorvane/MIRVO/c*.cpp -lcrypto -o "$bin"
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
  log=$work/fuzz_$t.log
  if ! "$bin" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" "$corpus" > "$log" 2>&1; then
    grep -a -E "ERROR|SUMMARY|artifact" "$log" | head -20
    echo "fuzz_$t: FAILED (log: $log)"
    exit 1
  fi
  runs=$(grep -a "stat::number_of_executed_units" "$log" | tail -1 | awk '{print $2}')
  echo "fuzz_$t: $runs executions in ${seconds}s, no crash (log: $log)"
done
