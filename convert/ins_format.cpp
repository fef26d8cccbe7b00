// Instrument file layout: sizes, field encodings, names and sample conversion.
#include "ins_format.h"

#include <cstring>

namespace {

// The bytes that follow the samples; bytes 1-4 are 0x08000010, LSB first.
constexpr unsigned char TRAILER_TAIL[INS_TRAILER_SIZE - 1] = {0x10, 0x00, 0x00, 0x08, 0x40};

// Upper-case one byte as the POSIX locale does: only a-z change.
char posix_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The four sample conversions over count input bytes, count a multiple of
// the frame size. An 8-bit sample is unsigned: its high output byte is the
// sample minus 128, its low byte 0. A 16-bit sample is little-endian in,
// big-endian out. Plain loops over frames, with no aliasing between input
// and output, which the compiler turns into vector code.
inline std::uint16_t swapped_lane(const unsigned char* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<std::uint16_t>((v << 8) | (v >> 8));
}

inline void put_lane(unsigned char* p, std::uint16_t v) {
    std::memcpy(p, &v, 2);
}

void convert_8_mono(const unsigned char* __restrict in, std::size_t count, unsigned char* __restrict out) {
    for (std::size_t k = 0; k < count; ++k) {
        out[2 * k] = static_cast<unsigned char>(in[k] ^ 0x80);
        out[2 * k + 1] = 0;
    }
}

void convert_8_stereo(const unsigned char* __restrict in, std::size_t count, unsigned char* __restrict left,
                      unsigned char* __restrict right) {
    for (std::size_t i = 0; i < count / 2; ++i) {
        left[2 * i] = static_cast<unsigned char>(in[2 * i] ^ 0x80);
        left[2 * i + 1] = 0;
        right[2 * i] = static_cast<unsigned char>(in[2 * i + 1] ^ 0x80);
        right[2 * i + 1] = 0;
    }
}

void convert_16_mono(const unsigned char* __restrict in, std::size_t count, unsigned char* __restrict out) {
    for (std::size_t i = 0; i < count / 2; ++i)
        put_lane(out + 2 * i, swapped_lane(in + 2 * i));
}

void convert_16_stereo(const unsigned char* __restrict in, std::size_t count, unsigned char* __restrict left,
                       unsigned char* __restrict right) {
    for (std::size_t i = 0; i < count / 4; ++i) {
        put_lane(left + 2 * i, swapped_lane(in + 4 * i));
        put_lane(right + 2 * i, swapped_lane(in + 4 * i + 2));
    }
}

}  // namespace

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

InsSizes ins_sizes(std::uint32_t data_len, unsigned bits) {
    InsSizes s{};
    std::uint64_t converted = bits == 8 ? 2 * std::uint64_t{data_len} : data_len;
    s.sample_bytes = converted & ~std::uint64_t{15};
    s.input_bytes = bits == 8 ? s.sample_bytes / 2 : s.sample_bytes;
    s.file_len = (s.sample_bytes + TEMPLATE_SIZE + 16 + INS_BLOCK_SIZE - 1) &
                 ~std::uint64_t{INS_BLOCK_SIZE - 1};
    s.tail_len = s.file_len - TEMPLATE_SIZE - s.sample_bytes;
    return s;
}

void ins_put_packed_length(unsigned char* buf, std::size_t p, std::uint32_t v) {
    buf[p] = static_cast<unsigned char>(v >> 4);
    buf[p + 2] = static_cast<unsigned char>(v >> 16);
    buf[p + 3] = static_cast<unsigned char>(((v >> 12) & 0x0F) << 4);
}

void ins_put_spread24(unsigned char* buf, std::size_t q, std::uint32_t v) {
    buf[q] = static_cast<unsigned char>(v >> 16);
    buf[q + 2] = static_cast<unsigned char>(v >> 8);
    buf[q + 4] = static_cast<unsigned char>(v);
}

int ins_output_name(const char* path, char (&out)[INS_PATH_BUF]) {
    std::size_t len = std::strlen(path);
    if (len >= INS_PATH_BUF)
        return INS_NAME_TOO_LONG;
    const char* cut = std::strstr(path, ".wav");
    if (cut == nullptr)
        return INS_NAME_NO_WAV;
    std::size_t keep = static_cast<std::size_t>(cut - path);
    std::memcpy(out, path, keep);
    out[keep] = '\0';
    return 0;
}

void ins_name_field(const char* out_name, char (&field)[INS_NAME_LEN]) {
    std::size_t k = 0;
    for (; k < INS_NAME_LEN && out_name[k] != '\0'; ++k)
        field[k] = posix_upper(out_name[k]);
    for (; k < INS_NAME_LEN; ++k)
        field[k] = ' ';
}

void ins_convert_run(const unsigned char* in, std::size_t count,
                     std::size_t done, const WavInfo& wav,
                     std::size_t sample_bytes, unsigned char* area) {
    std::size_t half = sample_bytes / 2;
    if (wav.bits == 8 && wav.channels == 1)
        convert_8_mono(in, count, area + 2 * done);
    else if (wav.bits == 8)
        convert_8_stereo(in, count, area + done, area + half + done);  // 2 bytes in, 2 out per channel
    else if (wav.channels == 1)
        convert_16_mono(in, count, area + done);
    else
        convert_16_stereo(in, count, area + done / 2, area + half + done / 2);  // 4 bytes in per frame
}

void ins_put_frames(const std::int16_t* frames, std::size_t count, std::size_t done,
                    unsigned channels, std::size_t sample_bytes, unsigned char* area) {
    unsigned char* left = area + 2 * done;
    unsigned char* right = area + sample_bytes / 2 + 2 * done;
    for (std::size_t i = 0; i < count; ++i) {
        auto l = static_cast<std::uint16_t>(frames[channels * i]);
        left[2 * i] = static_cast<unsigned char>(l >> 8);
        left[2 * i + 1] = static_cast<unsigned char>(l);
        if (channels == 2) {
            auto r = static_cast<std::uint16_t>(frames[2 * i + 1]);
            right[2 * i] = static_cast<unsigned char>(r >> 8);
            right[2 * i + 1] = static_cast<unsigned char>(r);
        }
    }
}

void ins_fill_template(unsigned char* buf, const unsigned char* tmpl,
                       const InsSizes& sizes, const char* out_name) {
    std::memcpy(buf, tmpl, TEMPLATE_SIZE);
    ins_put_packed_length(buf, inshdr::FILE_LEN, static_cast<std::uint32_t>(sizes.file_len));
    char field[INS_NAME_LEN];
    ins_name_field(out_name, field);
    for (std::size_t k = 0; k < INS_NAME_LEN; ++k)
        buf[inshdr::NAME + 2 * k] = static_cast<unsigned char>(field[k]);
    auto sample_bytes = static_cast<std::uint32_t>(sizes.sample_bytes);
    ins_put_packed_length(buf, inshdr::PACKED_SAMPLES, sample_bytes + INS_PACKED_SAMPLES_EXTRA);
    ins_put_spread24(buf, inshdr::ZERO_SPREAD, 0);
    ins_put_spread24(buf, inshdr::SPREAD_SAMPLES, sample_bytes);
}

void ins_fill_trailer(unsigned char* trailer, const InsSizes& sizes) {
    trailer[0] = static_cast<unsigned char>(sizes.tail_len / 16);
    std::memcpy(trailer + 1, TRAILER_TAIL, sizeof TRAILER_TAIL);
    std::memset(trailer + INS_TRAILER_SIZE, 0, sizes.tail_len - INS_TRAILER_SIZE);
}

void ins_fill_header(unsigned char* buf, const unsigned char* tmpl,
                     const InsSizes& sizes, const char* out_name) {
    ins_fill_template(buf, tmpl, sizes, out_name);
    ins_fill_trailer(buf + TEMPLATE_SIZE + sizes.sample_bytes, sizes);
}
