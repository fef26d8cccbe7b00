#!/usr/bin/env bash
# Writes the seed corpus of the wav2zvk fuzz driver into wav2zvk/ beside
# this script: small WAVE files of the shapes the converter tests use.
set -euo pipefail
out="$(dirname "$0")/wav2zvk"
mkdir -p "$out"

le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }

# header CHANNELS BITS DATA_LEN [FMT_LEN]
header() {
    local ch=$1 bits=$2 len=$3 fmt=${4:-16}
    printf 'RIFF'; le32 $((36 + len)); printf 'WAVEfmt '; le32 "$fmt"; le16 1; le16 "$ch"
    le32 44100; le32 $((44100 * ch * bits / 8)); le16 $((ch * bits / 8)); le16 "$bits"
    if [ "$fmt" -ne 16 ]; then le16 0; fi
}

# samples COUNT: COUNT bytes of a fixed saw-tooth pattern
samples() { for ((i = 0; i < $1; i++)); do printf "\\x$(printf %02x $((i * 37 & 255)))"; done; }

wav() { local name=$1 ch=$2 bits=$3 len=$4 have=$5; { header "$ch" "$bits" "$len"; printf 'data'; le32 "$len"; samples "$have"; } >"$out/$name"; }

wav mono8.wav 1 8 100 100
wav stereo8.wav 2 8 100 100
wav mono16.wav 1 16 200 200
wav stereo16.wav 2 16 200 200
wav remainder16.wav 1 16 1000 992
wav tiny.wav 2 16 15 0
wav short.wav 1 16 1000 300
wav three.wav 3 8 64 64
wav bits24.wav 1 24 96 96
wav toolong.wav 2 16 16773872 64
{ header 1 16 32 18; printf 'data'; le32 32; samples 32; } >"$out/fmt18.wav"
{ header 1 16 32; printf 'LIST'; le32 4; printf 'INFO'; printf 'data'; le32 32; samples 32; } >"$out/list.wav"
header 1 16 32 | head -c 30 >"$out/truncated.wav"
