// In-process tests of whole conversions: worked examples byte for byte,
// progress lines, and every refused input with its message and no output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "wav2zvk.h"
#include "wav_fixture.h"

namespace {

const std::string INFO_16_MONO =
    "         sample rate=44100 Hz\n         channel nr.=1\n"
    "         sample size=1000 Bytes\n         Bit nr.=16\n";

std::string head_lines(const std::string& in, const std::string& out) {
    return "convert: wav-file=`" + in + "'\n         to ins-file=`" + out + "'\n";
}

class Conversion : public ::testing::Test {
protected:
    // Convert one file; returns its messages.
    std::string convert(const std::string& path) {
        MsgCapture cap;
        rc_ = conv_file(path.c_str(), tmpl_.data());
        return cap.text();
    }
    // The image every conversion starts from: template, zero samples and tail.
    Bytes expected_base(std::size_t file_len, const char* field12) {
        Bytes e(file_len, 0);
        std::memcpy(e.data(), tmpl_.data(), TEMPLATE_SIZE);
        for (int k = 0; k < 12; ++k)
            e[10 + 2 * k] = static_cast<unsigned char>(field12[k]);
        e[2784] = e[2786] = e[2788] = 0;
        return e;
    }
    static void set(Bytes& e, std::size_t at, std::initializer_list<unsigned char> v) {
        for (unsigned char b : v)
            e[at++] = b;
    }
    TempDir dir_;
    Bytes tmpl_ = test_template();
    int rc_ = 1;
};

TEST_F(Conversion, WorkedExample16BitMono) {
    Bytes data = pattern_bytes(1000);
    ASSERT_TRUE(write_file("piano.wav", make_wav(1, 16, 1000, data)));
    EXPECT_EQ(convert("piano.wav"), head_lines("piano.wav", "piano") + INFO_16_MONO);
    EXPECT_EQ(rc_, CONV_OK);

    Bytes e = expected_base(4096, "PIANO       ");
    set(e, 0, {0x00, e[1], 0x00, 0x10});
    set(e, 2544, {0x50, e[2545], 0x00, 0x00});
    set(e, 2792, {0x00, e[2793], 0x03, e[2795], 0xE0});
    for (std::size_t i = 0; i < 992; i += 2)
        set(e, 2832 + i, {data[i + 1], data[i]});
    set(e, 3824, {0x11, 0x10, 0x00, 0x00, 0x08, 0x40});
    Bytes got;
    ASSERT_TRUE(read_file("piano", got));
    EXPECT_EQ(got, e);
}

TEST_F(Conversion, WorkedExample8BitStereo) {
    Bytes data = pattern_bytes(1000);
    ASSERT_TRUE(write_file("longsamplename.wav", make_wav(2, 8, 1000, data, 22050)));
    convert("longsamplename.wav");
    ASSERT_EQ(rc_, CONV_OK);

    Bytes e = expected_base(5120, "LONGSAMPLENA");
    set(e, 0, {0x40, e[1], 0x00, 0x10});
    set(e, 2544, {0x8F, e[2545], 0x00, 0x00});
    set(e, 2792, {0x00, e[2793], 0x07, e[2795], 0xD0});
    for (std::size_t f = 0; f < 500; ++f) {
        set(e, 2832 + 2 * f, {static_cast<unsigned char>(data[2 * f] ^ 0x80), 0});
        set(e, 3832 + 2 * f, {static_cast<unsigned char>(data[2 * f + 1] ^ 0x80), 0});
    }
    set(e, 4832, {0x12, 0x10, 0x00, 0x00, 0x08, 0x40});
    Bytes got;
    ASSERT_TRUE(read_file("longsamplename", got));
    EXPECT_EQ(got, e);
}

// Inputs of many read buffers, and output buffers past 2 MB, against a
// frame-by-frame reference.
TEST_F(Conversion, LongInputsMatchFrameByFrameReference) {
    for (unsigned channels : {1u, 2u}) {
        for (unsigned bits : {8u, 16u}) {
            Bytes data = pattern_bytes((1u << 21) + 100, channels + bits);
            auto len = static_cast<std::uint32_t>(data.size());
            ASSERT_TRUE(write_file("long.wav", make_wav(channels, bits, len, data)));
            convert("long.wav");
            ASSERT_EQ(rc_, CONV_OK);
            Bytes got;
            ASSERT_TRUE(read_file("long", got));
            InsSizes s = ins_sizes(len, bits);
            ASSERT_EQ(got.size(), s.file_len);
            std::size_t bytes_per_sample = bits / 8, samples = s.sample_bytes / 2;
            for (std::size_t n = 0; n < samples; ++n) {
                std::size_t frame = n / channels, ch = n % channels;
                std::size_t at = 2832 + ch * (s.sample_bytes / 2) + 2 * frame;
                const unsigned char* in = &data[n * bytes_per_sample];
                unsigned hi = bits == 8 ? in[0] ^ 0x80u : in[1], lo = bits == 8 ? 0u : in[0];
                ASSERT_EQ(got[at], hi) << channels << "/" << bits << " sample " << n;
                ASSERT_EQ(got[at + 1], lo) << channels << "/" << bits << " sample " << n;
            }
        }
    }
}

// A complete regular input streams into its output; any other input is
// assembled in memory first. Both give the same bytes.
TEST_F(Conversion, StreamedAndAssembledOutputsAgree) {
    for (unsigned channels : {1u, 2u}) {
        for (unsigned bits : {8u, 16u}) {
            Bytes data = pattern_bytes(300001, channels * bits);
            ASSERT_TRUE(write_file("s.wav", make_wav(channels, bits, 300001, data)));
            convert("s.wav");
            ASSERT_EQ(rc_, CONV_OK);
            Bytes streamed;
            ASSERT_TRUE(read_file("s", streamed));
            int fd = ::open("s.wav", O_RDONLY);
            ASSERT_GE(fd, 0);
            InsImage image;
            MsgCapture cap;
            EXPECT_EQ(conv_build(fd, tmpl_.data(), "s", image), CONV_OK);
            ::close(fd);
            EXPECT_EQ(Bytes(image.data.get(), image.data.get() + image.len), streamed) << channels << "/" << bits;
        }
    }
}

// Only whole groups are read: data missing behind the last group is fine,
// and neither the sample rate nor the format code changes the output.
TEST_F(Conversion, ReadsOnlyWholeGroupsAndIgnoresRateAndFormat) {
    Bytes data = pattern_bytes(992);
    ASSERT_TRUE(write_file("a.wav", make_wav(1, 16, 1000, data, 8000, 3)));
    ASSERT_TRUE(write_file("b.wav", make_wav(1, 16, 1000, data, 96000, 1)));
    EXPECT_EQ(convert("a.wav"), head_lines("a.wav", "a") +
              "         sample rate=8000 Hz\n         channel nr.=1\n"
              "         sample size=1000 Bytes\n         Bit nr.=16\n");
    EXPECT_EQ(rc_, CONV_OK);
    convert("b.wav");
    Bytes a, b;
    ASSERT_TRUE(read_file("a", a));
    ASSERT_TRUE(read_file("b", b));
    b[10] = 'A';  // the name fields differ
    EXPECT_EQ(a, b);

    ASSERT_TRUE(write_file("tiny.wav", make_wav(2, 16, 15, {})));
    convert("tiny.wav");
    Bytes t;
    ASSERT_TRUE(read_file("tiny", t));
    ASSERT_EQ(t.size(), 3072u);
    EXPECT_EQ(t[2832], 0x0F);
    EXPECT_EQ(t[2544], 0x12);
}

Bytes with_byte(Bytes b, std::size_t at, unsigned char v) {
    b[at] = v;
    return b;
}

TEST_F(Conversion, RefusedInputsLeaveNoOutputAndKeepAnExistingOne) {
    const Bytes good = make_wav(1, 16, 1000, pattern_bytes(1000));
    Bytes fmt18 = make_wav(1, 16, 1000, pattern_bytes(1002));
    fmt18[16] = 18;
    std::memcpy(&fmt18[36], "\0\0data", 6);  // the "data" id two bytes later
    Bytes list = good;
    std::memcpy(&list[36], "LIST", 4);
    const std::string four_info_24 =
        "         sample rate=44100 Hz\n         channel nr.=1\n"
        "         sample size=1000 Bytes\n         Bit nr.=24\n";
    struct { const char* what; Bytes wav; std::string lines; } cases[] = {
        {"truncated header", Bytes(good.begin(), good.begin() + 43), "error: can't read RIFF header.\n"},
        {"empty file", {}, "error: can't read RIFF header.\n"},
        {"bad RIFF", with_byte(good, 0, 'X'), "error: not a RIFF WAVE file.\n"},
        {"bad WAVE", with_byte(good, 9, 'X'), "error: not a RIFF WAVE file.\n"},
        {"bad fmt", with_byte(good, 15, '_'), "error: not a RIFF WAVE file.\n"},
        {"18-byte fmt", fmt18, "error: not a RIFF WAVE file.\n"},
        {"chunk before data", list, "error: not a RIFF WAVE file.\n"},
        {"3 channels", make_wav(3, 16, 1000, pattern_bytes(1000)),
         "         sample rate=44100 Hz\n         channel nr.=3\nerror: unsupported channel number.\n"},
        {"0 channels", make_wav(0, 16, 1000, pattern_bytes(1000)),
         "         sample rate=44100 Hz\n         channel nr.=0\nerror: unsupported channel number.\n"},
        {"24 bits", make_wav(1, 24, 1000, pattern_bytes(1000)), four_info_24 + "error: unsupported Bit number.\n"},
        {"short data", make_wav(1, 16, 1000, pattern_bytes(991)),
         INFO_16_MONO + "error: can't read file.\nerror: can't read sample data.\n"},
        {"too long", make_wav(1, 16, 16773872, pattern_bytes(100)),
         "         sample rate=44100 Hz\n         channel nr.=1\n"
         "         sample size=16773872 Bytes\n         Bit nr.=16\nerror: sample data too long.\n"},
    };
    const Bytes keep = {'k', 'e', 'e', 'p'};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(write_file("bad.wav", c.wav));
        for (bool existing : {false, true}) {
            ::unlink("bad");
            if (existing) {
                ASSERT_TRUE(write_file("bad", keep));
            }
            EXPECT_EQ(convert("bad.wav"), head_lines("bad.wav", "bad") + c.lines);
            EXPECT_LT(rc_, 0);
            Bytes now;
            EXPECT_EQ(read_file("bad", now), existing);
            if (existing) {
                EXPECT_EQ(now, keep);
            }
        }
    }
}

TEST_F(Conversion, RefusedPathsAndOutputFailures) {
    EXPECT_EQ(convert("missing.wav"), head_lines("missing.wav", "missing") +
              "error: can't open file `missing.wav'.\n");
    ASSERT_EQ(::mkdir("folder.wav", 0700), 0);  // opens, but cannot be read
    EXPECT_EQ(convert("folder.wav"), head_lines("folder.wav", "folder") +
              "error: can't read RIFF header.\n");

    const Bytes wav = make_wav(1, 8, 16, pattern_bytes(16));
    ASSERT_TRUE(write_file("SONG.WAV", wav));
    EXPECT_EQ(convert("SONG.WAV"), "convert: wav-file=`SONG.WAV'\n"
              "error: can't derive output name from `SONG.WAV'.\n");
    Bytes still;
    ASSERT_TRUE(read_file("SONG.WAV", still));
    EXPECT_EQ(still, wav);
    std::string long_path = std::string(252, 'x') + ".wav";
    EXPECT_EQ(convert(long_path), "convert: wav-file=`" + long_path + "'\nerror: file name too long.\n");
    EXPECT_EQ(rc_, CONV_ERR_NAME);

    ASSERT_EQ(::mkdir("out", 0700), 0);
    ASSERT_TRUE(write_file("out.wav", wav));
    EXPECT_EQ(convert("out.wav"), head_lines("out.wav", "out") +
              "         sample rate=44100 Hz\n         channel nr.=1\n"
              "         sample size=16 Bytes\n         Bit nr.=8\nerror: can't open file `out'.\n");
    if (::access("/dev/full", W_OK) == 0) {
        ASSERT_EQ(::symlink("/dev/full", "full"), 0);
        ASSERT_TRUE(write_file("full.wav", wav));
        std::string text = convert("full.wav");
        EXPECT_EQ(text.substr(text.rfind("error")), "error: not all data saved.\n");
        EXPECT_EQ(rc_, CONV_ERR_WRITE);
    }
}

TEST_F(Conversion, ExistingOutputIsReplacedAndKeepsItsMode) {
    ASSERT_TRUE(write_file("take", Bytes(9000, 'z')));
    ASSERT_EQ(::chmod("take", 0644), 0);
    ASSERT_TRUE(write_file("take.wav.old", make_wav(1, 8, 100, pattern_bytes(100))));
    convert("take.wav.old");
    ASSERT_EQ(rc_, CONV_OK);
    struct stat st;
    ASSERT_EQ(::stat("take", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 3072);

    ASSERT_EQ(::mkdir("samples", 0700), 0);
    ASSERT_TRUE(write_file("samples/Kick.wav", make_wav(1, 8, 100, pattern_bytes(100))));
    convert("samples/Kick.wav");
    Bytes kick;
    ASSERT_TRUE(read_file("samples/Kick", kick));
    std::string field;
    for (int k = 0; k < 12; ++k)
        field += static_cast<char>(kick[10 + 2 * k]);
    EXPECT_EQ(field, "SAMPLES/KICK");
    EXPECT_EQ(kick[11], tmpl_[11]);
}

class ProgramStart : public ::testing::Test {
protected:
    std::string run(std::vector<std::string> args, const std::string& tmpl_path) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        MsgCapture cap;
        status_ = wav2zvk_main(static_cast<int>(args.size()), argv.data(), tmpl_path.c_str());
        return cap.text();
    }
    TempDir dir_;
    int status_ = 1;
};

const std::string BANNER = "\n--- wav2zvk Version 0.21: WAVE to Zorvek instrument converter ---\n\n";

TEST_F(ProgramStart, UsageAndTemplateFailures) {
    EXPECT_EQ(run({"./w2z"}, "t"), "usage: ./w2z <wav-file(s)>\n");
    EXPECT_EQ(status_, -1);
    EXPECT_EQ(run({}, "t"), "usage: wav2zvk <wav-file(s)>\n");

    ASSERT_TRUE(write_file("in.wav", make_wav(1, 8, 16, pattern_bytes(16))));
    EXPECT_EQ(run({"w", "in.wav"}, "absent.template"), BANNER + "error: can't open file `absent.template'.\n");
    EXPECT_EQ(status_, -1);
    ASSERT_TRUE(write_file("short.template", test_template(2831)));
    EXPECT_EQ(run({"w", "in.wav"}, "short.template"),
              BANNER + "error: can't read data from file `short.template'.\n");
    EXPECT_EQ(status_, -1);
    EXPECT_FALSE(file_exists("in"));
}

TEST_F(ProgramStart, LongTemplateUsesItsFirstBytesAndFailuresKeepStatusZero) {
    Bytes big = test_template(3000);
    ASSERT_TRUE(write_file("big.template", big));
    ASSERT_TRUE(write_file("in.wav", make_wav(1, 8, 16, pattern_bytes(16))));
    std::string text = run({"w", "nothing.wav", "in.wav", "nothing.wav"}, "big.template");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(text.rfind(BANNER, 0), 0u);
    Bytes got;
    ASSERT_TRUE(read_file("in", got));
    ASSERT_EQ(got.size(), 3072u);
    EXPECT_TRUE(std::equal(got.begin() + 34, got.begin() + 2544, big.begin() + 34));
    ASSERT_NE(big[2880], 0);
    EXPECT_EQ(got[2880], 0);  // zero tail, not the template's byte 2880

    run({"w", "nothing.wav", "SONG.WAV"}, "big.template");
    EXPECT_EQ(status_, 0);
}

}  // namespace
