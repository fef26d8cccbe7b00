#!/usr/bin/env bash
# Runs every benchmark: builds a release tree in build-bench/, generates the
# inputs, and prints our figures beside their baselines with the ratios.
# usage: bench/run.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
"$root/scripts/deps.sh"
need=()
command -v sox >/dev/null || need+=(sox)
command -v mcopy >/dev/null || need+=(mtools)
[ -x /usr/bin/time ] || need+=(time)
command -v python3 >/dev/null || need+=(python3)
command -v hyperfine >/dev/null || need+=(hyperfine)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    else
        echo "bench: without ${need[*]} some baselines are left out" >&2
    fi
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvkfm wav2zvk_test_bin zvkfsck >/dev/null

echo "== wav2zvk"
"$root/bench/wav2zvk_bench.sh" "$build"
echo
echo "== zvkfm"
"$root/bench/volume_bench.sh" "$build/shell/zvkfm"
echo
echo "== zvkfsck"
"$root/bench/fsck_bench.sh" "$build/shell/zvkfm" "$build/fsck/zvkfsck"
