#!/usr/bin/env bash
# Benchmark of wav2zvk against sox and cp on two generated WAVE files: the
# largest 16-bit stereo input an instrument can hold (16,773,856 bytes of
# samples) and an 8-bit mono input of 8,000,000 bytes.
#
# usage: wav2zvk_bench.sh [BINARY | BUILD_DIR]
#   no argument  compile the converter from this source tree into a temporary
#                folder, reading a template generated there
#   BUILD_DIR    use BUILD_DIR/convert/wav2zvk_test_bin, whose template lives
#                at BUILD_DIR/tests/convert/zorvek.template (made if missing)
#   BINARY       use BINARY as it is; its own template must be installed
# Each figure is the best of BENCH_RUNS runs (default 5) with warm caches.
# Prints our time, the sox and cp times, the ratios against the goals
# (at most 0.5 x sox, at most 2 x cp) and the peak memory against its goal
# (the output buffer plus 1 MB over the program's own start-up size).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
runs=${BENCH_RUNS:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/wav2zvk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }

# make_wav PATH CHANNELS BITS DATA_LEN: canonical header, random samples
make_wav() {
    local path=$1 ch=$2 bits=$3 len=$4
    {
        printf 'RIFF'; le32 $((36 + len)); printf 'WAVEfmt '; le32 16; le16 1; le16 "$ch"
        le32 44100; le32 $((44100 * ch * bits / 8)); le16 $((ch * bits / 8)); le16 "$bits"
        printf 'data'; le32 "$len"
        head -c "$len" /dev/urandom
    } >"$path"
}

make_template() { head -c 2832 /dev/zero | tr '\0' '\125' >"$1"; }

# Pick or build the binary.
if [ $# -eq 0 ]; then
    make_template "$work/zorvek.template"
    "${CXX:-c++}" -std=c++20 -O2 -DNDEBUG -DZVK_TEMPLATE_PATH="\"$work/zorvek.template\"" \
        -I"$src/convert" "$src"/convert/*.cpp -o "$work/wav2zvk"
    bin=$work/wav2zvk
elif [ -d "$1" ]; then
    bin=$(cd "$1" && pwd)/convert/wav2zvk_test_bin
    tmpl=$(cd "$1" && pwd)/tests/convert/zorvek.template
    [ -f "$tmpl" ] || make_template "$tmpl"
else
    bin=$1
fi
[ -x "$bin" ] || { echo "wav2zvk_bench: no program at $bin" >&2; exit 1; }
if ! "$bin" "$work/probe.wav" 2>&1 | grep -q "can't open file \`$work/probe.wav'"; then
    echo "wav2zvk_bench: $bin cannot read its template:" >&2
    "$bin" "$work/probe.wav" >&2 || true
    exit 1
fi

# best_of CMD...: the shortest wall-clock time of $runs runs, in seconds
best_of() {
    local best="" t0 t1 t i
    for ((i = 0; i < runs; i++)); do
        rm -f "$work/in" "$work/out.raw" "$work/copy.wav"
        t0=$EPOCHREALTIME
        "$@" >/dev/null 2>&1
        t1=$EPOCHREALTIME
        t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
        if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
    done
    echo "$best"
}

# peak_kb CMD...: the peak resident set size of CMD in kilobytes
if [ -x /usr/bin/time ] && /usr/bin/time -f %M true >/dev/null 2>&1; then
    peak_kb() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true; tail -n 1 "$work/rss"; }
else
    cat >"$work/maxrss.cpp" <<'CPP'
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    if (argc < 2) return 2;
    pid_t pid = fork();
    if (pid == 0) { execv(argv[1], argv + 1); _exit(127); }
    int ws; waitpid(pid, &ws, 0);
    rusage ru; getrusage(RUSAGE_CHILDREN, &ru);
    std::fprintf(stderr, "%ld\n", ru.ru_maxrss);
}
CPP
    "${CXX:-c++}" -O2 "$work/maxrss.cpp" -o "$work/maxrss"
    peak_kb() { "$work/maxrss" "$@" 2>&1 >/dev/null | tail -n 1; }
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g) ? "ok" : "MISSED" }'; }

# workload LABEL CHANNELS BITS DATA_LEN
workload() {
    local label=$1 ch=$2 bits=$3 len=$4
    make_wav "$work/in.wav" "$ch" "$bits" "$len"
    local sample_bytes=$(( (bits == 8 ? 2 * len : len) / 16 * 16 ))
    local file_len=$(( (sample_bytes + 3359) / 512 * 512 ))
    local ours sox_t cp_t
    ours=$(cd "$work" && best_of "$bin" in.wav)
    cp_t=$(best_of cp "$work/in.wav" "$work/copy.wav")
    echo "== $label: $len bytes of samples, instrument file $file_len bytes"
    printf '  wav2zvk  %8.4f s\n' "$ours"
    if command -v sox >/dev/null; then
        sox_t=$(best_of sox "$work/in.wav" -t raw -e signed -b 16 -B "$work/out.raw")
        printf '  sox      %8.4f s   wav2zvk/sox = %s (goal <= 0.50: %s)\n' "$sox_t" \
            "$(ratio "$ours" "$sox_t")" "$(verdict "$(ratio "$ours" "$sox_t")" 0.50)"
    else
        echo "  sox      not installed"
    fi
    printf '  cp       %8.4f s   wav2zvk/cp  = %s (goal <= 2.00: %s)\n' "$cp_t" \
        "$(ratio "$ours" "$cp_t")" "$(verdict "$(ratio "$ours" "$cp_t")" 2.00)"
    local base peak budget
    base=$(peak_kb "$bin")
    peak=$(cd "$work" && peak_kb "$bin" in.wav)
    budget=$(( file_len / 1024 + 1024 ))
    printf '  memory   peak %d KB, start-up %d KB, used %d KB (goal <= %d KB: %s)\n' \
        "$peak" "$base" $((peak - base)) "$budget" "$( [ $((peak - base)) -le "$budget" ] && echo ok || echo MISSED)"
    rm -f "$work/in.wav" "$work/in"
}

echo "wav2zvk benchmark: $bin, best of $runs runs"
workload "16-bit stereo" 2 16 16773856
workload "8-bit mono" 1 8 8000000
