#!/usr/bin/env bash
# Times zvkfm and wav2zvk beside the tools they are measured against, with
# hyperfine (the median of BENCH_RUNS runs, at least 10, after 2 warm-ups;
# every input in the page cache), and prints one table row per workload: our
# median, the peer's median and the ratio, then the peak memory of put and
# get against the program's start-up size (/usr/bin/time -v).
# usage: bench/run.sh [build-dir]     (default build-bench/, a release tree)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${BENCH_RUNS:-10}
[ "$runs" -ge 10 ] || runs=10

"$root/scripts/deps.sh"
need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v mcopy >/dev/null || need+=(mtools)
command -v mkfs.fat >/dev/null || need+=(dosfstools)
command -v sox >/dev/null || need+=(sox)
[ -x /usr/bin/time ] || need+=(time)
command -v python3 >/dev/null || need+=(python3)
command -v curl >/dev/null || need+=(curl)
command -v hyperfine >/dev/null || need+=(hyperfine)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    else
        echo "bench: missing ${need[*]} (install them, then run this again)" >&2
        exit 1
    fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zvk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
template=$work/zorvek.template
head -c 2832 /dev/zero | tr '\0' '\125' >"$template"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZVK_TESTS=OFF \
    -DZVK_TEMPLATE_PATH="$template" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvkfm wav2zvk >/dev/null
zvkfm=$build/shell/zvkfm
wav2zvk=$build/convert/wav2zvk
cd "$work"

# shellcheck source=bench/common.sh
. "$root/bench/common.sh"

# Inputs: a 4,194,304-block (2 GiB) sparse volume made by zvkfm, a file of
# 65,535 blocks, a FAT32 image of the same size, the same volume with every
# block in use but the last, and two WAVE files.
total=4194304
fat_blocks=$(( (total - 1) / 170 + 1 ))
fat_bytes="skip=$((5 * 512)) count=$((fat_blocks * 512)) iflag=skip_bytes,count_bytes"
truncate -s $((total * 512)) lab.img
printf 'chlabel\ny\n256\n128\n128\n\nbench\ny\nexit\n' | "$zvkfm" lab.img >/dev/null 2>&1
cp --sparse=always lab.img fresh.img
printf 'newfs\ny\nexit\n' | "$zvkfm" fresh.img >/dev/null 2>&1
mkfs.fat -F 32 -C mfresh.img $((total / 2)) >/dev/null
head -c $((65535 * 512)) /dev/urandom >file.bin
printf 'put file.bin 3\nexit\n' >put.txt
printf 'get 1 out.bin\nexit\n' >get.txt
printf 'df\nexit\n' >df.txt
printf 'newfs\ny\nexit\n' >newfs.txt
printf 'exit\n' >exit.txt
head -c 300 /dev/urandom >one.bin
printf 'put one.bin 3\nexit\n' >put1.txt
python3 - "$total" <<'PY'
import shutil, struct, os, sys
total = int(sys.argv[1])
shutil.copyfile("fresh.img", "full.img")
with open("full.img", "r+b") as f:
    fat_blocks = (total - 1) // 170 + 1
    f.seek(5 * 512)
    f.write((b"\0\0\1" * 170 + b"FB") * fat_blocks)  # every entry an end mark but the last
    last = total - 1
    f.seek(5 * 512 + (last // 170) * 512 + (last % 170) * 3); f.write(b"\0\0\0")
    f.seek(2 * 512); f.write(struct.pack(">I", 1))
def wav(path, ch, bits, n):
    h = b"RIFF" + struct.pack("<I", 36 + n) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 1, ch, 44100, 44100 * ch * bits // 8, ch * bits // 8, bits) + b"data" + struct.pack("<I", n)
    with open(path, "wb") as f:
        f.write(h + os.urandom(n))
wav("s16.wav", 2, 16, 16773856)
wav("m8.wav", 1, 8, 8000000)
PY
sync

echo "bench: $(uname -srm), $(nproc) CPUs, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "bench: medians of $runs runs; every input in the page cache"
echo
echo "| Work | zvkfm / wav2zvk | Peer | Ratio | Goal |"
echo "|---|---|---|---|---|"
ours=$(median "rm -f vol.img; cp --sparse=always fresh.img vol.img; sync vol.img" "$zvkfm vol.img <put.txt >/dev/null 2>&1")
peer=$(median "rm -f m.img; cp --sparse=always mfresh.img m.img; sync m.img" "mcopy -o -i m.img file.bin ::file.bin && sync m.img")
row "put of a 65,535-block file, then exit (fsync)" "$ours" "mcopy into FAT32 + sync" "$peer" 1.0

ours=$(median "rm -f out.bin" "$zvkfm vol.img <get.txt >/dev/null 2>&1")
peer=$(median "rm -f mc.bin" "mcopy -n -i m.img ::file.bin mc.bin")
cmp -s out.bin file.bin && cmp -s mc.bin file.bin || { echo "bench: get returned other bytes" >&2; exit 1; }
row "get of that file" "$ours" "mcopy out" "$peer" 1.0

ours=$(median "" "$zvkfm vol.img <df.txt >/dev/null 2>&1")
peer=$(median "" "dd if=vol.img of=/dev/null bs=1M $fat_bytes status=none")
row "df (free count over 4.17 M entries)" "$ours" "dd bs=1M over the FAT" "$peer" 2.0

# Only the blocks put changes are put back before each run.
last_fat=$(( 5 + (total - 1) / 170 ))
restore="dd if=full.img of=f.img bs=512 count=5 conv=notrunc status=none;"
restore+=" dd if=full.img of=f.img bs=512 skip=$last_fat seek=$last_fat count=1 conv=notrunc status=none; sync f.img"
cp --sparse=always full.img f.img
ours=$(median "$restore" "$zvkfm f.img <put1.txt >/dev/null 2>&1")
peer=$(median "" "dd if=f.img of=/dev/null bs=1M $fat_bytes status=none")
row "put of 1 block on a full volume (allocator scan)" "$ours" "dd bs=1M over the FAT" "$peer" 2.0

ours=$(median "rm -f n.img; cp --sparse=always lab.img n.img; sync n.img" "$zvkfm n.img <newfs.txt >/dev/null 2>&1")
peer=$(median "rm -f m2.img" "mkfs.fat -F 32 -C m2.img $((total / 2)) >/dev/null")
row "newfs of 2 GiB" "$ours" "mkfs.fat -F 32" "$peer" 1.0

ours=$(median "rm -f s16" "$wav2zvk s16.wav >/dev/null 2>&1")
peer=$(median "rm -f s16.raw" "sox s16.wav -t raw -e signed -b 16 -B s16.raw")
copy=$(median "rm -f c.wav" "cp s16.wav c.wav")
row "wav2zvk, 16.7 MB 16-bit stereo" "$ours" "sox to raw 16-bit BE" "$peer" 0.4
row "wav2zvk, 16.7 MB 16-bit stereo" "$ours" "cp" "$copy" 1.5
ours=$(median "rm -f m8" "$wav2zvk m8.wav >/dev/null 2>&1")
peer=$(median "rm -f m8.raw" "sox m8.wav -t raw -e signed -b 16 -B m8.raw")
row "wav2zvk, 8 MB 8-bit mono" "$ours" "sox" "$peer" 0.3

# Work without a peer, to compare between revisions: start-up and exit of
# zvkfm, and a 2,000-line scripted session on a 1,600-block volume.
truncate -s $((1600 * 512)) small.img
printf 'chlabel\ny\n10\n2\n80\n\nsmall\ny\nnewfs\ny\nexit\n' | "$zvkfm" small.img >/dev/null 2>&1
cp small.img small-fresh.img
head -c 3000 /dev/urandom >a.ins
python3 - <<'PY' >session.txt
import random
r = random.Random(7)
lines = []
while len(lines) < 1999:
    lines += r.choice([
        ["ls"], ["pwd"], ["df"], ["label"], ["fatlist 1"], ["help"],
        ["mkdir d", "cd 1", "put a.ins 3", "ls", "cd ..", "rm -e 1", "y"],
        ["put a.ins 3", "cp 1 copy", "get 1 out.ins", "rm 2", "rm 1"],
        ["mkdir x", "rmdir 1"], ["chlabel small"], ["sync"],
    ])
print("\n".join(lines[:1999] + ["exit"]))
PY
start=$(median "" "$zvkfm small.img <exit.txt >/dev/null 2>&1")
session=$(median "cp small-fresh.img small.img" "$zvkfm small.img <session.txt >/dev/null 2>&1")
echo
awk -v s="$start" -v t="$session" 'BEGIN {
    printf "zvkfm start-up and exit: %.1f ms; 2,000-line session: %.1f ms\n", s * 1000, t * 1000 }'

# Peak memory: put (on a fresh volume) and get, against an exit-only run.
rm -f vol.img && cp --sparse=always fresh.img vol.img
base=$(in=exit.txt peak_kb "$zvkfm" vol.img)
put_kb=$(in=put.txt peak_kb "$zvkfm" vol.img)
rm -f out.bin
get_kb=$(in=get.txt peak_kb "$zvkfm" vol.img)
printf 'peak memory: start-up %d KB; put %d KB (+%d KB); get %d KB (+%d KB); goal at most +8192 KB\n' \
    "$base" "$put_kb" $((put_kb - base)) "$get_kb" $((get_kb - base))

# zvkfsck: a whole check of a 2 GiB volume with a few hundred files.
echo
echo "== zvkfsck"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvkfsck >/dev/null
"$root/bench/fsck_bench.sh" "$zvkfm" "$build/fsck/zvkfsck"

# zvk: copies of a 960-file tree in and out, export, import, listing.
echo
echo "== zvk"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvk >/dev/null
"$root/bench/zvk_bench.sh" "$build/zvk/zvk"

# zvkmount, where it was built and /dev/fuse is there.
if cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvkmount >/dev/null 2>&1 &&
    [ -e /dev/fuse ] && command -v hyperfine >/dev/null; then
    echo
    echo "== zvkmount"
    "$root/bench/mount_bench.sh" "$build"
else
    echo "bench: zvkmount not built, /dev/fuse or hyperfine missing: mount benchmarks left out" >&2
fi

# zvk serve, where it was built (cpp-httplib and nlohmann-json found); its
# block map is timed in headless Chromium when that is installed.
if cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvk_serve zvk zvkfm >/dev/null 2>&1; then
    echo
    echo "== zvk serve"
    "$root/bench/serve_bench.sh" "$build"
else
    echo "bench: zvk serve not built: its benchmarks left out" >&2
fi
