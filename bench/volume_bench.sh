#!/usr/bin/env bash
# Benchmarks of zvkfm on page-cached images, each beside its baselines:
#   put and get of a 65,535-block file on a fresh 4,194,304-block (2 GiB,
#   sparse) volume, against dd bs=512 conv=fsync and mcopy on an image of the
#   same size; df on that volume against dd bs=512 reading and writing back
#   the same FAT blocks (with fsync, as zvkfm syncs at exit); a 2,000-line
#   scripted session.
# usage: volume_bench.sh ZVKFM   (BENCH_RUNS runs each, best taken; default 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zvkfm=$1
runs=${BENCH_RUNS:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/zvkfm-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

total=4194304
file_blocks=65535
fat_blocks=$(( (total - 1) / 170 + 1 ))
data_start=$(( fat_blocks + 5 ))

# best CMD...: the lowest "seconds maxrss" of $runs runs (prep runs before each)
best() {
    local b="" r
    for ((i = 0; i < runs; i++)); do
        [ -n "${prep:-}" ] && eval "$prep"
        r=$(python3 "$here/measure.py" "$@")
        if [ -z "$b" ] || awk -v a="${r% *}" -v c="${b% *}" 'BEGIN { exit !(a < c) }'; then b=$r; fi
    done
    echo "$b"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
row() { printf '  %-34s %8.3f s  %8d KB\n' "$1" "${2% *}" "${2#* }"; }

# A fresh volume made by zvkfm itself: geometry 256 x 128 x 128 = 4,194,304.
fresh() {
    rm -f vol.img && truncate -s $((total * 512)) vol.img
    printf 'chlabel\ny\n256\n128\n128\n\nbench\ny\nnewfs\ny\nexit\n' | "$zvkfm" vol.img >/dev/null 2>&1
}
head -c $((file_blocks * 512)) /dev/urandom >file.bin
printf 'put file.bin 3\nexit\n' >put.txt
printf 'get 1 out.bin\nexit\n' >get.txt
printf 'df\nexit\n' >df.txt

echo "put of a ${file_blocks}-block file into a fresh ${total}-block volume, then exit"
fresh; cp vol.img fresh.img
prep='cp --sparse=always fresh.img vol.img'
ours=$(best --in put.txt "$zvkfm" vol.img)
grep -q . vol.img
prep='cp --sparse=always fresh.img vol.img'
dd_put=$(best dd if=file.bin of=vol.img bs=512 seek=$data_start conv=notrunc,fsync status=none)
if command -v mformat >/dev/null; then
    prep='rm -f m.img; truncate -s $((total * 512)) m.img; mformat -i m.img -T $total -h 128 -s 256 ::'
    mc_put=$(best mcopy -o -i m.img file.bin ::file.bin)
fi
unset prep
row "zvkfm put + exit" "$ours"
row "dd bs=512 conv=fsync" "$dd_put"
[ -n "${mc_put:-}" ] && row "mcopy" "$mc_put"
echo "  ratio zvkfm/dd: $(ratio "${ours% *}" "${dd_put% *}") (goal: at most 1.00)"
put_rss=${ours#* }

echo
echo "get of that file back into a host file"
printf 'put file.bin 3\nexit\n' | "$zvkfm" vol.img >/dev/null 2>&1
ours=$(best --in get.txt "$zvkfm" vol.img)
cmp -s out.bin file.bin || { echo "get returned other bytes" >&2; exit 1; }
dd_get=$(best dd if=vol.img of=dd.bin bs=512 skip=$data_start count=$file_blocks status=none)
[ -n "${mc_put:-}" ] && mc_get=$(best mcopy -o -i m.img ::file.bin mc.bin)
row "zvkfm get + exit" "$ours"
row "dd bs=512" "$dd_get"
[ -n "${mc_get:-}" ] && row "mcopy" "$mc_get"
echo "  ratio zvkfm/dd: $(ratio "${ours% *}" "${dd_get% *}") (goal: at most 1.00)"

echo
echo "df on the ${total}-block volume (${fat_blocks} FAT blocks through the 8-slot cache)"
ours=$(best --in df.txt "$zvkfm" vol.img)
dd_df=$(best dd if=vol.img of=vol.img bs=512 skip=5 seek=5 count=$fat_blocks conv=notrunc,fsync status=none)
row "zvkfm df + exit" "$ours"
base_rss=${ours#* }
row "dd bs=512 read, write back, fsync" "$dd_df"
echo "  ratio zvkfm/dd: $(ratio "${ours% *}" "${dd_df% *}") (goal: at most 1.20)"

echo
echo "a 2,000-line scripted session on a fresh 1600-block volume"
rm -f small.img && truncate -s $((1600 * 512)) small.img
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
prep='cp small-fresh.img small.img'
ours=$(best --in session.txt "$zvkfm" small.img)
unset prep
row "zvkfm, 2000 lines" "$ours"

echo
echo "peak memory of put: ${put_rss} KB = file buffer $((file_blocks / 2)) KB + $((put_rss - file_blocks / 2)) KB;"
echo "  the program itself (df run) takes ${base_rss} KB, so put needs" \
    "$((put_rss - file_blocks / 2 - base_rss)) KB beyond its buffer (goal: at most 2048 KB)"
echo "  per line: $(awk -v t="${ours% *}" 'BEGIN { printf "%.1f", t / 2000 * 1e6 }') us"
