#!/bin/sh
# Builds the libFuzzer targets of the chain-file and revocation-list readers with AddressSanitizer
# and UndefinedBehaviorSanitizer, seeds them with the shipped chain files and the test fixtures,
# and runs each for a bounded time (FUZZ_SECONDS, default 60). Prints the executions of each run;
# a crash, a leak or a sanitizer report fails the script.
#
# Usage: tools/fuzz/run_chain_fuzz.sh [target ...]     (targets: chain crl; default both)
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/fuzz/fuzz_common.sh"
targets=${*:-chain crl}

sh "$root/tests/support/make_chains.sh" "$work/fixtures" > /dev/null 2>&1

for t in $targets; do
  fuzz_build clang++ "$t"
  corpus=$work/corpus_$t
  mkdir -p "$corpus"
  case $t in
    chain) cp "$root"/dorvane/MIRVO/P7B/*.p7b "$work"/fixtures/p7b/*.p7b "$corpus"/ ;;
    crl) cp "$work"/fixtures/crl/* "$corpus"/ ;;
  esac
  fuzz_run "$t"
done
