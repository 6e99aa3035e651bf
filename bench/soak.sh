#!/bin/sh
# Usage: bench/soak.sh [RELAUNCHES]   (default 10000)
#
# Builds and runs the soak: the agent supervising a collector that exits at once, on a
# manual clock, relaunching it RELAUNCHES times. Prints open descriptors, zombie
# children and RSS at the start, every 1000 relaunches and at the end; exits 1 if
# descriptors grew or a zombie was left.
exec "$(dirname "$0")/run-target.sh" orlinde_soak "$@"
