#!/bin/sh
# Usage: bench/collector-bench.sh [REFRESH_PASSES [LAUNCHES]]
#
# Builds and runs the collector benchmark: the CPU cost of one refresh pass with a
# fresh status file, and of one collector launch from spawn to running, each as
# min / median / max so that the machine's noise shows.
set -eu
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
if ! cmake --build --preset default -j2 --target collector_bench >/dev/null; then
    echo "collector-bench: could not build collector_bench (is bench/ added to the build?)" >&2
    exit 1
fi
exec build/bench/collector_bench "$@"
