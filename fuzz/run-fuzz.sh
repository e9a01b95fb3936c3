#!/bin/sh
# Runs a libFuzzer target for a bounded time from the seed corpus, which it
# leaves as it is; new inputs and any crash input go to WORK_DIR.
# Usage: run-fuzz.sh BINARY SEED_DIR WORK_DIR SECONDS
set -eu
binary=$1
seeds=$2
work=$3
seconds=$4

rm -rf "$work"
mkdir -p "$work/corpus"
cd "$work"
# A calibration polls the model some six million times, about 0.4 s under
# the sanitizers; an input of four of them is no hang.
exec "$binary" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
	-print_final_stats=1 -artifact_prefix="$work/" corpus "$seeds"
