#!/usr/bin/env bash
# Benchmark of zvk beside the host tools it is measured against, on a tree
# of 960 files of 1 to 600 blocks in 30 folders (about 64 MB) and a fresh
# 4,194,304-block (2 GiB, sparse) volume made by zvk format: the copy in
# (zvk's copy is on the device when it exits, so against cp -r + sync), the
# copy back out (against cp -r), export (against tar -cf), import (against
# tar -xf + sync), ls -R --json (at most 20 ms), and the peak memory of
# each (at most 16 MB). Medians of BENCH_RUNS hyperfine runs, at least 10.
# usage: zvk_bench.sh ZVK
set -euo pipefail
zvk=$(realpath "$1")
# shellcheck source=bench/common.sh
. "$(dirname "$(realpath "$0")")/common.sh"
runs=${BENCH_RUNS:-10}
[ "$runs" -ge 10 ] || runs=10
work=$(mktemp -d "${TMPDIR:-/tmp}/zvk-bench.XXXXXX")
trap '[ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"


python3 - <<'PY'
import os, random
r = random.Random(960)
total = 0
for d in range(30):
    os.makedirs(f"tree/dir{d:02}")
    for i in range(32):
        n = d * 32 + i
        blocks = 600 if n % 96 == 0 else r.randint(1, 250)
        size = blocks * 512 - r.randint(0, 511)
        with open(f"tree/dir{d:02}/file{i:02}.bin", "wb") as f:
            f.write(r.randbytes(size))
        total += size
print(f"bench: tree of 960 files in 30 folders, {total / 1e6:.1f} MB")
PY
"$zvk" format fresh.img --blocks 4194304 --label bench
cp --sparse=always fresh.img full.img
"$zvk" cp -r tree full.img:/
"$zvk" export full.img:/TREE tree.tar
sync

echo
echo "| Work | zvk | Peer | Ratio | Goal |"
echo "|---|---|---|---|---|"
fresh="rm -f vol.img; cp --sparse=always fresh.img vol.img; sync"
ours=$(median "$fresh" "$zvk cp -r tree vol.img:/")
peer=$(median "rm -rf copy; sync" "cp -r tree copy && sync")
row "cp -r of 960 files into a fresh 2 GiB volume (durable)" "$ours" "cp -r + sync" "$peer" 1.0
ours=$(median "rm -rf out" "$zvk cp -r full.img:/TREE out")
peer=$(median "rm -rf out2" "cp -r tree out2")
row "cp -r of those files back to the host" "$ours" "cp -r" "$peer" 1.5
ours=$(median "rm -f e.tar" "$zvk export full.img:/TREE e.tar")
peer=$(median "rm -f t.tar" "tar -cf t.tar tree")
row "export of that folder to a tar" "$ours" "tar -cf" "$peer" 1.5
ours=$(median "$fresh" "$zvk import tree.tar vol.img:/")
peer=$(median "rm -rf x; mkdir x; sync" "tar -xf tree.tar -C x && sync")
row "import of that tar into a fresh volume (durable)" "$ours" "tar -xf + sync" "$peer" 1.0
ls_time=$(median "" "$zvk ls -R --json full.img")
awk -v t="$ls_time" 'BEGIN { printf "| ls -R --json of the 960 files | %.1f ms | - | - | 20 ms %s |\n", t * 1000, (t <= 0.020 ? "met" : "MISSED") }'

echo
rm -f vol.img && cp --sparse=always fresh.img vol.img && rm -rf out e.tar
in_kb=$(peak_kb "$zvk" cp -r tree vol.img:/)
out_kb=$(peak_kb "$zvk" cp -r full.img:/TREE out)
ex_kb=$(peak_kb "$zvk" export full.img:/TREE e.tar)
rm -f vol.img && cp --sparse=always fresh.img vol.img
im_kb=$(peak_kb "$zvk" import tree.tar vol.img:/)
ls_kb=$(peak_kb "$zvk" ls -R --json full.img)
printf 'zvk peak memory: cp in %d KB, cp out %d KB, export %d KB, import %d KB, ls -R --json %d KB; goal under 16384 KB\n' \
    "$in_kb" "$out_kb" "$ex_kb" "$im_kb" "$ls_kb"
