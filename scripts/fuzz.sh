#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of
# seconds (default 20). The seed corpora in fuzz/corpus stay untouched; what the
# fuzzers learn goes to build-fuzz/corpus. A crash or hang fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
targets=(settings_fuzzer statusline_fuzzer propertylist_fuzzer)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]}"

for target in "${targets[@]}"; do
    seeds=fuzz/corpus/${target%_fuzzer}
    work=build-fuzz/corpus/${target%_fuzzer}
    mkdir -p "$work" build-fuzz/artifacts
    echo "== $target: ${seconds}s"
    status=0
    QT_QPA_PLATFORM=offscreen build-fuzz/fuzz/"$target" "$work" "$seeds" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build-fuzz/artifacts/"$target"- -print_final_stats=1 \
        >build-fuzz/"$target".log 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' \
        build-fuzz/"$target".log || true
    if [ "$status" -ne 0 ]; then
        tail -n 40 build-fuzz/"$target".log
        exit "$status"
    fi
done
