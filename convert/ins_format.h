// Layout of a Zorvek instrument file and of the WAVE header it is made from.
//
// An instrument file is a copy of the 2832-byte template with the name and
// four size fields patched in, the samples as 16-bit big-endian values
// (stereo as two consecutive channel halves), a 6-byte trailer and zero
// bytes up to the next multiple of 512. Everything here is plain byte work
// on caller-supplied buffers; nothing prints and nothing touches a file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t TEMPLATE_SIZE = 2832;   // also where the samples start
constexpr std::size_t WAV_HEADER_SIZE = 44;   // canonical RIFF/WAVE header
constexpr std::size_t INS_BLOCK_SIZE = 512;   // file lengths are multiples of it
constexpr std::size_t INS_NAME_LEN = 12;      // characters in the name field
constexpr std::size_t INS_PATH_BUF = 256;     // output names hold at most 255 chars
constexpr std::size_t INS_TRAILER_SIZE = 6;
// The 24-bit length field at offset 0 limits the file, and so the samples.
constexpr std::uint64_t INS_MAX_FILE_LEN = 16776704;
constexpr std::uint64_t INS_MAX_SAMPLE_BYTES = 16773856;

// WAVE header field offsets; numbers are little-endian.
namespace wavhdr {
constexpr std::size_t RIFF_MAGIC = 0;   // "RIFF"
constexpr std::size_t WAVE_MAGIC = 8;   // "WAVEfmt ", form type and chunk id
constexpr std::size_t CHANNELS = 22;    // LE16, 1 or 2
constexpr std::size_t SAMPLE_RATE = 24; // LE32, printed only
constexpr std::size_t BITS = 34;        // LE16, 8 or 16
constexpr std::size_t DATA_MAGIC = 36;  // "data"
constexpr std::size_t DATA_LEN = 40;    // LE32, length of the sample data
}  // namespace wavhdr

// Instrument header field offsets.
namespace inshdr {
constexpr std::size_t FILE_LEN = 0;        // PackedLength of the file length
constexpr std::size_t NAME = 10;           // name field, one character per 16-bit word
constexpr std::size_t PACKED_SAMPLES = 2544;  // PackedLength of sample bytes + 288
constexpr std::size_t ZERO_SPREAD = 2784;     // Spread24, always 0
constexpr std::size_t SPREAD_SAMPLES = 2792;  // Spread24 of the sample bytes
}  // namespace inshdr

constexpr std::uint32_t INS_PACKED_SAMPLES_EXTRA = 288;

// What the WAVE header tells about the samples.
struct WavInfo {
    std::uint16_t channels;
    std::uint32_t sample_rate;
    std::uint16_t bits;
    std::uint32_t data_len;
};

// Sizes of one instrument file, all in bytes.
struct InsSizes {
    std::uint64_t input_bytes;   // sample data read from the input
    std::uint64_t sample_bytes;  // length of the sample area
    std::uint64_t file_len;      // length of the whole file
    std::uint64_t tail_len;      // bytes behind the sample area, 16 to 512
};

std::uint16_t le16(const unsigned char* p);
std::uint32_t le32(const unsigned char* p);

// Work out the sizes of the instrument made from data_len bytes of samples
// of the given width (8 or 16 bits). The arithmetic is 64-bit, so an
// oversized data length shows up as a file_len beyond INS_MAX_FILE_LEN.
InsSizes ins_sizes(std::uint32_t data_len, unsigned bits);

// Store bits 4-23 of v at p, p + 2 and p + 3; byte p + 1 is kept.
void ins_put_packed_length(unsigned char* buf, std::size_t p, std::uint32_t v);

// Store a 24-bit big-endian value in the first bytes of three 16-bit words.
void ins_put_spread24(unsigned char* buf, std::size_t q, std::uint32_t v);

// Derive the output name from an input path: the path up to its first
// ".wav". Returns 0, INS_NAME_TOO_LONG for a path that does not fit the
// 256-byte name buffer, or INS_NAME_NO_WAV for a path without ".wav".
constexpr int INS_NAME_TOO_LONG = -1;
constexpr int INS_NAME_NO_WAV = -2;
int ins_output_name(const char* path, char (&out)[INS_PATH_BUF]);

// Make the 12-character name field: upper-cased, space-padded.
void ins_name_field(const char* out_name, char (&field)[INS_NAME_LEN]);

// Turn one run of whole input frames into output samples. `in` holds
// `count` bytes starting at input byte offset `done` (both multiples of
// the frame size); `area` is the sample area of `sample_bytes` bytes.
void ins_convert_run(const unsigned char* in, std::size_t count,
                     std::size_t done, const WavInfo& wav,
                     std::size_t sample_bytes, unsigned char* area);

// Store `count` frames of decoded 16-bit samples (`channels`, 1 or 2, of
// them interleaved in each frame) as frames done to done + count - 1 of the
// sample area of `sample_bytes` bytes: big-endian, stereo frames split into
// the two channel halves, as ins_convert_run places them.
void ins_put_frames(const std::int16_t* frames, std::size_t count, std::size_t done,
                    unsigned channels, std::size_t sample_bytes, unsigned char* area);

// The first TEMPLATE_SIZE bytes of the file: the template copy with its
// patches.
void ins_fill_template(unsigned char* buf, const unsigned char* tmpl,
                       const InsSizes& sizes, const char* out_name);

// The sizes.tail_len bytes behind the samples: trailer and zero tail.
void ins_fill_trailer(unsigned char* trailer, const InsSizes& sizes);

// Fill in everything but the samples: the template copy with its patches,
// the trailer and the zero tail. `buf` holds sizes.file_len bytes.
void ins_fill_header(unsigned char* buf, const unsigned char* tmpl,
                     const InsSizes& sizes, const char* out_name);
