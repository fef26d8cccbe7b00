#!/usr/bin/env bash
# Benchmarks of zvkmount with hyperfine, in one run:
#   cp of a 65,535-block file into the mounted volume against zvkfm put of
#   the same file (goal: within 2x), cp out of the mount against zvkfm get
#   (goal: within 2x), and ls -lR of a mounted volume of 1,000 files (goal:
#   under 0.2 s; the volume is mounted afresh before each run, so every
#   name and attribute comes from the daemon).
# usage: mount_bench.sh BUILD-DIR   (needs /dev/fuse, fusermount3, hyperfine)
set -euo pipefail
build=$(cd "$1" && pwd)
zvkfm=$build/shell/zvkfm
zvkmount=$build/mount/zvkmount
runs=${BENCH_RUNS:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/zvkmount-bench.XXXXXX")
cleanup() {
    for m in "$work"/mnt "$work"/tree; do
        mountpoint -q "$m" 2>/dev/null && fusermount3 -u "$m"
    done
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

total=4194304
file_blocks=65535
# A fresh volume made by zvkfm itself: geometry 256 x 128 x 128 = 4,194,304.
fresh() {
    rm -f "$1" && truncate -s $((total * 512)) "$1"
    printf 'chlabel\ny\n256\n128\n128\n\nbench\ny\nnewfs\ny\nexit\n' | "$zvkfm" "$1" >/dev/null 2>&1
}
fresh fresh.img
cp --sparse=always fresh.img mnt.img
head -c $((file_blocks * 512)) /dev/urandom >file.bin
printf 'put file.bin 3\nexit\n' >put.txt
printf 'get 1 out.bin\nexit\n' >get.txt
mkdir mnt tree
"$zvkmount" mnt.img mnt

hf() { hyperfine --style basic --runs "$runs" --export-json "$1.json" "${@:2}" | grep -E '^  Time|^  Range|^Benchmark|faster'; }
mean() { python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['results'][int(sys.argv[2])]['mean'])" "$1.json" "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "== cp of a ${file_blocks}-block file into the mount against zvkfm put"
hf in --prepare 'rm -f mnt/FILE.BIN' 'cp file.bin mnt/FILE.BIN' \
    --prepare 'cp --sparse=always fresh.img vol.img' "$zvkfm vol.img <put.txt >/dev/null 2>&1"
cmp -s file.bin mnt/FILE.BIN
echo "  ratio cp-in/put: $(ratio "$(mean in 0)" "$(mean in 1)") (goal: at most 2.00)"

echo "== cp out of the mount against zvkfm get"
hf out 'cp mnt/FILE.BIN out.bin' "$zvkfm vol.img <get.txt >/dev/null 2>&1"
cmp -s file.bin out.bin
echo "  ratio cp-out/get: $(ratio "$(mean out 0)" "$(mean out 1)") (goal: at most 2.00)"

echo "== ls -lR of a volume of 1,000 files"
fusermount3 -u mnt
fresh tree.img
"$zvkmount" tree.img tree
for d in $(seq 1 30); do
    mkdir "tree/D$d"
    for f in $(seq 1 34); do
        [ $(( (d - 1) * 34 + f )) -le 1000 ] && printf 'x' >"tree/D$d/F$f"
    done
done
test "$(find tree -type f | wc -l)" -eq 1000
hf ls --prepare "fusermount3 -u tree && $zvkmount tree.img tree" 'ls -lR tree >/dev/null'
echo "  mean: $(mean ls 0) s (goal: under 0.2 s)"
