# Shared steps of the fuzz scripts, sourced by run_fuzz.sh and run_chain_fuzz.sh once they have set
# `root` (the repository). Sets `seconds`, the time of each run (FUZZ_SECONDS, default 60), and
# `work`, the scratch folder (FUZZ_WORK, default a new folder under /tmp), and creates the folder.
seconds=${FUZZ_SECONDS:-60}
work=${FUZZ_WORK:-$(mktemp -d /tmp/dorvane-fuzz-XXXXXX)}
mkdir -p "$work"

# fuzz_build COMPILER TARGET: builds $work/fuzz_TARGET from tools/fuzz/fuzz_TARGET.cpp and the
# signing-library classes, with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer.
fuzz_build() {
  "$1" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -DOPENSSL_API_COMPAT=30000 -I"$root/dorvane/MIRVO" \
    "$root/tools/fuzz/fuzz_$2.cpp" "$root"/dorvane/MIRVO/c*.cpp -lcrypto -o "$work/fuzz_$2"
}

# fuzz_run TARGET [OPTION...]: runs $work/fuzz_TARGET on $work/corpus_TARGET for $seconds seconds
# (with any further libFuzzer options) and prints its executions; on a crash, a leak or a sanitizer
# report prints the report's lines and exits 1.
fuzz_run() {
  log=$work/fuzz_$1.log
  target=$1
  shift
  if ! "$work/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
      "$@" "$work/corpus_$target" > "$log" 2>&1; then
    grep -a -E "ERROR|SUMMARY|artifact|^fuzz_" "$log" | head -20
    echo "fuzz_$target: FAILED (log: $log)"
    exit 1
  fi
  runs=$(grep -a "stat::number_of_executed_units" "$log" | tail -1 | awk '{print $2}')
  echo "fuzz_$target: $runs executions in ${seconds}s, no crash (log: $log)"
}
