#!/usr/bin/env bash
# zvk serve against its goals (bench/serve_bench.py): listing time, upload
# and folder download speed, the block map of a 2 GiB volume in Chromium.
# usage: bench/serve_bench.sh BUILD-DIR   (zvk and zvkfm built there)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zvk-serve-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$root/bench/serve_bench.py" --zvk "$build/zvk/zvk" --zvkfm "$build/shell/zvkfm" \
    --work "$work" --runs "${BENCH_RUNS:-10}"
