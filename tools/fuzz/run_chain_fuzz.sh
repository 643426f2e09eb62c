#!/bin/sh
# Builds the libFuzzer targets of the chain-file and revocation-list readers with AddressSanitizer
# and UndefinedBehaviorSanitizer, seeds them with the shipped chain files and the test fixtures,
# and runs each for a bounded time (FUZZ_SECONDS, default 60). Prints the executions of each run;
# a crash, a leak or a sanitizer report fails the script.
#
# Usage: tools/fuzz/run_chain_fuzz.sh [target ...]     (targets: chain crl; default both)
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${FUZZ_SECONDS:-60}
work=${FUZZ_WORK:-$(mktemp -d /tmp/dorvane-fuzz-XXXXXX)}
mkdir -p "$work"
targets=${*:-chain crl}

sh "$root/tests/support/make_chains.sh" "$work/fixtures" > /dev/null 2>&1

for t in $targets; do
  bin=$work/fuzz_$t
  clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -DOPENSSL_API_COMPAT=30000 -I"$root/dorvane/MIRVO" \
    "$root/tools/fuzz/fuzz_$t.cpp" "$root"/dorvane/MIRVO/c*.cpp -lcrypto -o "$bin"
  corpus=$work/corpus_$t
  mkdir -p "$corpus"
  case $t in
    chain) cp "$root"/dorvane/MIRVO/P7B/*.p7b "$work"/fixtures/p7b/*.p7b "$corpus"/ ;;
    crl) cp "$work"/fixtures/crl/* "$corpus"/ ;;
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
