#!/usr/bin/env bash
# Builds Orlinde and runs every test: unit tests and the desktop tests, which start
# their own private session bus, X server and keyring.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
cmake --preset default
cmake --build --preset default -j"$(nproc)"
# The system tests mostly wait (for prompts, timers, panels), so one more than the cores.
ctest --preset default -j"$(( $(nproc) + 1 ))"
