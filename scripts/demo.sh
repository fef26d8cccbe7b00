#!/usr/bin/env bash
# Builds both tools, makes a fresh demo volume with zvkfm itself (a 1600-block
# disk: 10 sectors, 2 heads, 80 cylinders, labelled DEMO), puts a file on it,
# and starts zvkfm on it at the prompt.   Usage: scripts/demo.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-demo}"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DZVK_TESTS=OFF -DZVK_BENCH=OFF ${ZVK_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zvkfm wav2zvk >/dev/null
zvkfm="$build/shell/zvkfm"
wav2zvk="$build/convert/wav2zvk"

demo="$build/demo"
mkdir -p "$demo"
img="$demo/demo.img"
rm -f "$img"
head -c $((1600 * 512)) /dev/zero >"$img"

echo "== formatting $img with the chlabel dialogue and newfs" >&2
printf 'chlabel\ny\n10\n2\n80\n\ndemo\ny\nnewfs\ny\nexit\n' | "$zvkfm" "$img" >/dev/null 2>"$demo/format.log" || {
    cat "$demo/format.log" >&2
    exit 1
}

# le16/le32: little-endian numbers for the WAVE header.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }

template="$(sed -n 's/^ZVK_TEMPLATE_PATH:[A-Z]*=//p' "$build/CMakeCache.txt")"
cd "$demo"
# One second of a saw-tooth: 8000 samples, 8 bit, mono.
n=8000
{
    printf 'RIFF'; le32 $((36 + n)); printf 'WAVEfmt '; le32 16; le16 1; le16 1
    le32 8000; le32 8000; le16 1; le16 8; printf 'data'; le32 "$n"
    for ((i = 0; i < n; i++)); do printf "\\x$(printf %02x $(((i * 4) & 255)))"; done
} >saw.wav
if [ -r "$template" ]; then
    echo "== converting a generated WAV (saw.wav) with wav2zvk and putting the instrument on the volume" >&2
    "$wav2zvk" saw.wav
    printf 'put saw 3\nexit\n' | "$zvkfm" "$img" >/dev/null 2>/dev/null
else
    echo "== no instrument template is installed at $template, so wav2zvk cannot convert;" >&2
    echo "   putting the generated saw.wav on the volume as a plain file (type 31) instead" >&2
    printf 'put saw.wav 31\nexit\n' | "$zvkfm" "$img" >/dev/null 2>/dev/null
fi

echo "== starting zvkfm on $img (type \`help', \`ls', and \`exit' to leave)" >&2
exec "$zvkfm" "$img"
