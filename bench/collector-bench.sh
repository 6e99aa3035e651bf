#!/bin/sh
# Usage: bench/collector-bench.sh [REFRESH_PASSES [LAUNCHES]]
#
# Builds and runs the collector benchmark: the CPU cost of one refresh pass with a
# fresh status file, and of one collector launch from spawn to running, each as
# min / median / max so that the machine's noise shows.
exec "$(dirname "$0")/run-target.sh" collector_bench "$@"
