#!/bin/sh
# Usage: bench/run-target.sh TARGET [ARGS...]
#
# Builds one benchmark target with the default preset and runs it with ARGS.
set -eu
target=$1
shift
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
if ! cmake --build --preset default -j2 --target "$target" >/dev/null; then
    echo "$target: could not build it" >&2
    exit 1
fi
exec build/bench/"$target" "$@"
