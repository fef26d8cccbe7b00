// Table tests of the instrument layout: sizes, field encodings, names and
// the four sample conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ins_format.h"
#include "wav_fixture.h"

namespace {

struct SizeCase {
    std::uint32_t data_len;
    unsigned bits;
    std::uint64_t input_bytes, sample_bytes, file_len;
};

TEST(InsSizes, WorkedExamplesLimitsAndRemainders) {
    const SizeCase cases[] = {
        {1000, 16, 992, 992, 4096},            // remainder of 8 bytes is dropped
        {1000, 8, 1000, 2000, 5120},
        {15, 16, 0, 0, 3072},                  // below one group: nothing read
        {7, 8, 0, 0, 3072},
        {8, 8, 8, 16, 3072},
        {16773871, 16, 16773856, 16773856, 16776704},  // the largest that fits
        {8386935, 8, 8386928, 16773856, 16776704},
        {16773872, 16, 16773872, 16773872, 16777216},  // one group too many
        {0x80000004u, 8, 0x80000000u, 0x100000000u, 0x100000c00u},  // no 32-bit wrap
        {0xFFFFFFFFu, 16, 0xFFFFFFF0u, 0xFFFFFFF0u, 0x100000c00u},
    };
    for (const auto& c : cases) {
        InsSizes s = ins_sizes(c.data_len, c.bits);
        SCOPED_TRACE(std::to_string(c.data_len) + "/" + std::to_string(c.bits));
        EXPECT_EQ(s.input_bytes, c.input_bytes);
        EXPECT_EQ(s.sample_bytes, c.sample_bytes);
        EXPECT_EQ(s.file_len, c.file_len);
        EXPECT_EQ(s.tail_len, s.file_len - TEMPLATE_SIZE - s.sample_bytes);
    }
}

TEST(InsSizes, TailAlwaysHoldsTrailerAndEndsOnABlock) {
    for (std::uint32_t len = 0; len < 4096; ++len) {
        for (unsigned bits : {8u, 16u}) {
            InsSizes s = ins_sizes(len, bits);
            ASSERT_EQ(s.file_len % INS_BLOCK_SIZE, 0u);
            ASSERT_EQ(s.tail_len % 16, 0u);
            ASSERT_GE(s.tail_len, 16u);
            ASSERT_LE(s.tail_len, 512u);
        }
    }
}

TEST(InsFields, PackedLengthAndSpread24KeepTheirGaps) {
    struct { std::uint32_t v; unsigned char b0, b2, b3; } packed[] = {
        {4096, 0x00, 0x00, 0x10}, {5120, 0x40, 0x00, 0x10}, {1280, 0x50, 0x00, 0x00},
        {2288, 0x8F, 0x00, 0x00}, {16776704, 0xE0, 0xFF, 0xF0}, {0x123456F, 0x56, 0x23, 0x40},
    };
    for (const auto& c : packed) {
        unsigned char b[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        ins_put_packed_length(b, 0, c.v);
        EXPECT_EQ(b[0], c.b0) << c.v;
        EXPECT_EQ(b[1], 0xBB) << c.v;
        EXPECT_EQ(b[2], c.b2) << c.v;
        EXPECT_EQ(b[3], c.b3) << c.v;
    }
    unsigned char s[7] = {1, 2, 3, 4, 5, 6, 7};
    ins_put_spread24(s, 1, 0xABCDEF);
    const unsigned char want[7] = {1, 0xAB, 3, 0xCD, 5, 0xEF, 7};
    EXPECT_EQ(0, std::memcmp(s, want, 7));
}

TEST(InsNames, OutputNameCutsAtFirstDotWav) {
    struct { const char* path; int rc; const char* name; } cases[] = {
        {"piano.wav", 0, "piano"},          {"samples/Kick.wav", 0, "samples/Kick"},
        {"take.wav.old", 0, "take"},        {"a.wave", 0, "a"},
        {"x.wav/y.wav", 0, "x"},            {".wav", 0, ""},
        {"SONG.WAV", INS_NAME_NO_WAV, ""},  {"plain", INS_NAME_NO_WAV, ""},
    };
    for (const auto& c : cases) {
        char out[INS_PATH_BUF] = "";
        EXPECT_EQ(ins_output_name(c.path, out), c.rc) << c.path;
        if (c.rc == 0) {
            EXPECT_STREQ(out, c.name) << c.path;
        }
    }
    std::string fits = std::string(251, 'n') + ".wav";  // 255 characters
    char out[INS_PATH_BUF];
    EXPECT_EQ(ins_output_name(fits.c_str(), out), 0);
    EXPECT_EQ(std::string(out), std::string(251, 'n'));
    std::string too_long = "n" + fits;
    EXPECT_EQ(ins_output_name(too_long.c_str(), out), INS_NAME_TOO_LONG);
}

TEST(InsNames, NameFieldIsUpperCasedAndPadded) {
    struct { const char* name; const char* field; } cases[] = {
        {"piano", "PIANO       "},       {"longsamplename", "LONGSAMPLENA"},
        {"samples/Kick", "SAMPLES/KICK"}, {"", "            "},
        {"mIx_09.z{", "MIX_09.Z{   "},    {"\xe9t\xe9", "\xe9T\xe9         "},
    };
    for (const auto& c : cases) {
        char field[INS_NAME_LEN];
        ins_name_field(c.name, field);
        EXPECT_EQ(std::string(field, INS_NAME_LEN), c.field) << c.name;
    }
}

TEST(InsSamples, FourCasesAndRunBoundaries) {
    unsigned char area[16];
    const unsigned char in8[] = {0x00, 0x80, 0xFF, 0x7F};
    std::memset(area, 0xEE, sizeof area);
    ins_convert_run(in8, 4, 0, WavInfo{1, 0, 8, 4}, 8, area);
    const unsigned char mono8[] = {0x80, 0, 0x00, 0, 0x7F, 0, 0xFF, 0};
    EXPECT_EQ(0, std::memcmp(area, mono8, 8));

    ins_convert_run(in8, 4, 0, WavInfo{2, 0, 8, 4}, 8, area);  // frames (00,80), (FF,7F)
    const unsigned char stereo8[] = {0x80, 0, 0x7F, 0, 0x00, 0, 0xFF, 0};
    EXPECT_EQ(0, std::memcmp(area, stereo8, 8));

    const unsigned char in16[] = {0x34, 0x12, 0x01, 0x80, 0xFF, 0x7F, 0x00, 0x00};
    ins_convert_run(in16, 8, 0, WavInfo{1, 0, 16, 8}, 8, area);
    const unsigned char mono16[] = {0x12, 0x34, 0x80, 0x01, 0x7F, 0xFF, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(area, mono16, 8));

    // Stereo converted in two runs lands where one run would put it.
    ins_convert_run(in16, 4, 0, WavInfo{2, 0, 16, 8}, 8, area);
    ins_convert_run(in16 + 4, 4, 4, WavInfo{2, 0, 16, 8}, 8, area);
    const unsigned char stereo16[] = {0x12, 0x34, 0x7F, 0xFF, 0x80, 0x01, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(area, stereo16, 8));
}

}  // namespace
