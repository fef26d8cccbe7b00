// Sound files to instruments: plain WAVE files against wav2zvk's output,
// wider and other formats (written here with libsndfile) against the values
// written, channel mixing, and the refusals with their reasons.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "audio.h"
#include "wav2zvk.h"
#include "wav_fixture.h"

namespace {

// Frames of an instrument of the given channels, from its size field.
std::size_t ins_frames(const std::vector<std::uint8_t>& ins, unsigned channels) {
    const std::size_t bytes = static_cast<std::size_t>(ins[inshdr::SPREAD_SAMPLES]) << 16 |
                              static_cast<std::size_t>(ins[inshdr::SPREAD_SAMPLES + 2]) << 8 |
                              ins[inshdr::SPREAD_SAMPLES + 4];
    return bytes / (2 * channels);
}

// One sample of an instrument: channel ch of frame f, as a signed value.
int ins_sample(const std::vector<std::uint8_t>& ins, unsigned channels, std::size_t ch, std::size_t f) {
    const std::size_t at = TEMPLATE_SIZE + 2 * (ch * ins_frames(ins, channels) + f);
    return static_cast<std::int16_t>(ins[at] << 8 | ins[at + 1]);
}

// Write interleaved 32-bit integer (left-justified) or float samples.
bool write_sound(const std::string& path, int format, int channels, const std::vector<int>& ints,
                 const std::vector<float>& floats = {}, const int* map = nullptr) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = channels;
    info.format = format;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (sf == nullptr)
        return false;
    if (map != nullptr)
        sf_command(sf, SFC_SET_CHANNEL_MAP_INFO, const_cast<int*>(map), channels * static_cast<int>(sizeof(int)));
    sf_set_string(sf, SF_STR_TITLE, "take one");  // a LIST or comment chunk where the format has one
    sf_count_t frames = static_cast<sf_count_t>((floats.empty() ? ints.size() : floats.size()) / channels);
    sf_count_t put = floats.empty() ? sf_writef_int(sf, ints.data(), frames) : sf_writef_float(sf, floats.data(), frames);
    return sf_close(sf) == 0 && put == frames;
}

// Deterministic samples over the whole range, with low bits set.
std::vector<int> wide_samples(std::size_t count, unsigned seed) {
    std::vector<int> v(count);
    std::uint32_t x = seed * 2654435761u + 7;
    for (auto& s : v) {
        x = x * 1103515245u + 12345u;
        s = static_cast<int>(x ^ (x >> 15));
    }
    return v;
}

class Audio : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(write_file("t.template", test_template())); }
    int convert(const std::string& path, bool mix = false, const std::string& name = "") {
        AudioOptions opt;
        opt.template_path = "t.template";
        opt.mix = mix;
        opt.name = name;
        return audio_to_instrument(path.c_str(), opt, &ins_, &why_);
    }
    TempDir dir_;
    std::vector<std::uint8_t> ins_;
    std::string why_;
};

// 8- and 16-bit WAVE files, of lengths that are no whole number of groups:
// with wav2zvk's output name the bytes are wav2zvk's; the default name is
// the file name without folder and extension.
TEST_F(Audio, PlainWaveFilesGiveWav2zvkOutput) {
    ASSERT_EQ(::mkdir("takes", 0700), 0);
    const Bytes tmpl = test_template();
    for (unsigned channels : {1u, 2u}) {
        for (unsigned bits : {8u, 16u}) {
            SCOPED_TRACE(std::to_string(channels) + "/" + std::to_string(bits));
            ASSERT_TRUE(write_file("takes/piano.wav", make_wav(channels, bits, 300001, pattern_bytes(300001, bits))));
            {
                MsgCapture quiet;
                ASSERT_EQ(conv_file("takes/piano.wav", tmpl.data()), CONV_OK);
            }
            Bytes want;
            ASSERT_TRUE(read_file("takes/piano", want));
            ASSERT_EQ(convert("takes/piano.wav", false, "takes/piano"), AUDIO_OK) << why_;
            EXPECT_TRUE(Bytes(ins_.begin(), ins_.end()) == want);
            ASSERT_EQ(convert("takes/piano.wav"), AUDIO_OK);
            std::string field;
            for (std::size_t k = 0; k < INS_NAME_LEN; ++k)
                field += static_cast<char>(ins_[inshdr::NAME + 2 * k]);
            EXPECT_EQ(field, "PIANO       ");
        }
    }
}

struct WideCase {
    const char* file;
    int format;
    int channels;
    bool exact;
};

// Samples of every width and container come out within one step of the
// value written (exact for 16-bit ones), the same on every run, with the
// low bits dithered rather than cut.
TEST_F(Audio, WiderAndOtherFormatsKeepTheirValues) {
    const WideCase cases[] = {
        {"w24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, false},
        {"w32.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, 1, false},
        {"a24.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1, false},
        {"a16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, true},
        {"f24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, false},
        {"f16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<int> in = wide_samples(20000, static_cast<unsigned>(c.format));
        for (auto& s : in)
            s &= c.exact ? ~0xFFFF : ~0xFF;
        ASSERT_TRUE(write_sound(c.file, c.format, c.channels, in));
        ASSERT_EQ(convert(c.file), AUDIO_OK) << why_;
        const auto ch = static_cast<unsigned>(c.channels);
        ASSERT_EQ(ins_frames(ins_, ch), (in.size() / ch) & ~std::size_t{15 / (2 * ch)});
        std::size_t dithered = 0;
        for (std::size_t i = 0; i < ins_frames(ins_, ch) * ch; ++i) {
            const double want = in[i] / 65536.0;
            const int got = ins_sample(ins_, ch, i % ch, i / ch);
            ASSERT_LE(std::fabs(got - std::floor(want + 0.5)), c.exact ? 0.0 : 1.0) << "sample " << i;
            dithered += got != std::floor(want + 0.5);
        }
        if (!c.exact) {
            EXPECT_GT(dithered, in.size() / 10);
        }
        std::vector<std::uint8_t> first = ins_;
        ASSERT_EQ(convert(c.file), AUDIO_OK);
        EXPECT_TRUE(first == ins_);
    }
}

// Floating point (WAVE, and AIFC, which AIFF becomes for it): scaled by
// 32768, clipped beyond full scale. Ogg decodes.
TEST_F(Audio, FloatSamplesAndOgg) {
    std::vector<float> in(4096);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(std::sin(static_cast<double>(i) * 0.01) * 0.9);
    in[10] = 1.5f;
    in[11] = -1.5f;
    for (const char* file : {"f.wav", "f.aifc"}) {
        SCOPED_TRACE(file);
        int format = file[2] == 'w' ? SF_FORMAT_WAV | SF_FORMAT_FLOAT : SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
        ASSERT_TRUE(write_sound(file, format, 2, {}, in));
        ASSERT_EQ(convert(file), AUDIO_OK) << why_;
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double want = std::clamp(std::floor(in[i] * 32768.0 + 0.5), -32768.0, 32767.0);
            ASSERT_LE(std::fabs(ins_sample(ins_, 2, i % 2, i / 2) - want), 1.0) << i;
        }
        EXPECT_EQ(ins_sample(ins_, 2, 0, 5), 32767);
        EXPECT_EQ(ins_sample(ins_, 2, 1, 5), -32768);
    }
    ASSERT_TRUE(write_sound("v.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, {}, in));
    ASSERT_EQ(convert("v.ogg"), AUDIO_OK) << why_;
    EXPECT_EQ(ins_frames(ins_, 2), 2048u);
}

// More than two channels only with mix: each side the mean of the channels
// the map places there (a quad file: front and back left, front and back
// right).
TEST_F(Audio, MoreThanTwoChannelsOnlyMixed) {
    const int quad[] = {SF_CHANNEL_MAP_FRONT_LEFT, SF_CHANNEL_MAP_FRONT_RIGHT, SF_CHANNEL_MAP_REAR_LEFT,
                        SF_CHANNEL_MAP_REAR_RIGHT};
    std::vector<int> in = wide_samples(4 * 1000, 4);
    for (auto& s : in)
        s &= ~0xFFFF;
    ASSERT_TRUE(write_sound("quad.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 4, in, {}, quad));
    EXPECT_EQ(convert("quad.wav"), AUDIO_ERR_CHANNELS);
    EXPECT_EQ(why_, "4 channels, but an instrument is mono or stereo (--mix makes stereo of them)");
    EXPECT_TRUE(ins_.empty());

    ASSERT_EQ(convert("quad.wav", true), AUDIO_OK) << why_;
    ASSERT_EQ(ins_frames(ins_, 2), 1000u);
    for (std::size_t f = 0; f < 1000; ++f) {
        for (std::size_t side = 0; side < 2; ++side) {
            const double want = (in[4 * f + side] / 65536.0 + in[4 * f + 2 + side] / 65536.0) / 2;
            ASSERT_LE(std::fabs(ins_sample(ins_, 2, side, f) - std::floor(want + 0.5)), 1.0) << f;
        }
    }
}

// An instrument holds 16,773,856 bytes of samples; a longer input is
// refused, not cut.
TEST_F(Audio, LengthLimit) {
    for (std::uint32_t len : {16773870u, 16773872u}) {
        ASSERT_TRUE(write_file("long.wav", make_wav(1, 16, len, {})));
        ASSERT_EQ(::truncate("long.wav", 44 + len), 0);
        int rc = convert("long.wav");
        if (len == 16773870u) {
            EXPECT_EQ(rc, AUDIO_OK) << why_;
            EXPECT_EQ(ins_.size(), INS_MAX_FILE_LEN);
        } else {
            EXPECT_EQ(rc, AUDIO_ERR_TOO_LONG);
            EXPECT_EQ(why_, "too long: 8386936 mono frames, an instrument holds at most 8386935");
        }
    }
}

TEST_F(Audio, RefusalsGiveReasons) {
    ASSERT_TRUE(write_file("notes.wav", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}));
    EXPECT_EQ(convert("notes.wav"), AUDIO_ERR_FORMAT);
    EXPECT_EQ(why_, "not readable as audio (Format not recognised)");
    EXPECT_EQ(convert("missing.wav"), AUDIO_ERR_OPEN);
    EXPECT_EQ(why_, "can't open: No such file or directory");

    ASSERT_TRUE(write_file("piano.wav", make_wav(1, 16, 100, pattern_bytes(100))));
    ASSERT_TRUE(write_file("short.template", test_template(2831)));
    std::string why;
    EXPECT_TRUE(audio_template_available("t.template", &why));
    EXPECT_FALSE(audio_template_available("short.template", &why));
    EXPECT_EQ(why, "can't read the instrument template short.template: it holds fewer than 2832 bytes");
    EXPECT_FALSE(audio_template_available("absent.template", &why));
    EXPECT_EQ(why, "can't open the instrument template absent.template: No such file or directory");
    AudioOptions opt;
    opt.template_path = "absent.template";
    EXPECT_EQ(audio_to_instrument("piano.wav", opt, &ins_, &why), AUDIO_ERR_TEMPLATE);

    ::setenv("ZVK_TEMPLATE", "t.template", 1);
    EXPECT_EQ(audio_template_path(), "t.template");
    EXPECT_EQ(audio_to_instrument("piano.wav", AudioOptions{}, &ins_, &why), AUDIO_OK) << why;
    ::unsetenv("ZVK_TEMPLATE");
}

TEST(AudioNames, FileNameWithoutFolderAndExtension) {
    EXPECT_EQ(audio_entry_name("takes/Piano.take2.wav"), "Piano.take2");
    EXPECT_EQ(audio_entry_name("kick.flac"), "kick");
    EXPECT_EQ(audio_entry_name("a.b/noext"), "noext");
    EXPECT_EQ(audio_entry_name("dir/.wav"), ".wav");
}

}  // namespace
