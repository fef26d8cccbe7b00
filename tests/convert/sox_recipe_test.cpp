// The sox command that the manual gives for WAVE files wav2zvk refuses by
// design: after it, wav2zvk takes every one of them, and 16-bit samples come
// through unchanged. Skipped where sox is not installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "runner.h"
#include "wav_fixture.h"

namespace {

// The command of the manual, with in.wav and out.wav, and the channel
// option it adds for more than two channels.
const std::vector<std::string> kRecipe = {"-t", "wavpcm", "-b", "16", "-e", "signed-integer"};

// A RIFF file of the given chunks (id, body).
Bytes riff(const std::vector<std::pair<std::string, Bytes>>& chunks) {
    Bytes body = {'W', 'A', 'V', 'E'};
    for (const auto& [id, data] : chunks) {
        body.insert(body.end(), id.begin(), id.end());
        for (int i = 0; i < 4; ++i) body.push_back(static_cast<unsigned char>(data.size() >> (8 * i)));
        body.insert(body.end(), data.begin(), data.end());
        if (data.size() % 2) body.push_back(0);
    }
    Bytes file = {'R', 'I', 'F', 'F'};
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<unsigned char>(body.size() >> (8 * i)));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// The fmt chunk's body of a canonical file.
Bytes fmt_of(const Bytes& wav) { return Bytes(wav.begin() + 20, wav.begin() + 36); }

class SoxRecipe : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
        install_test_template(WAV2ZVK_TEST_TEMPLATE);
    }
    // Converts name.wav in the working folder; the instrument, or nothing
    // when wav2zvk refused.
    Bytes convert(const std::string& name) {
        zvktest::RunResult r = zvktest::run({WAV2ZVK_TEST_BIN, name + ".wav"}, "");
        Bytes ins;
        if (r.err.find("error") == std::string::npos) read_file(name, ins);
        return ins;
    }
    bool sox(const std::string& in, const std::string& out, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {"/usr/bin/env", "sox", in};
        argv.insert(argv.end(), kRecipe.begin(), kRecipe.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(out);
        return zvktest::run(argv, "").exited(0);
    }
    TempDir dir_;
};

TEST_F(SoxRecipe, MakesRefusedFilesConvertible) {
    const Bytes pcm = pattern_bytes(4096, 3);
    const Bytes plain = make_wav(2, 16, 4096, pcm);
    Bytes extensible = fmt_of(plain);
    extensible[0] = 0xFE;  // WAVE_FORMAT_EXTENSIBLE
    extensible[1] = 0xFF;
    const unsigned char tail[] = {22, 0, 16, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0,
                                  0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    extensible.insert(extensible.end(), tail, tail + sizeof tail);
    Bytes floats;
    for (int i = 0; i < 1000; ++i) {
        const float v = static_cast<float>(i % 100) / 100.0f - 0.5f;
        unsigned char b[4];
        std::memcpy(b, &v, 4);
        floats.insert(floats.end(), b, b + 4);
    }
    const struct {
        const char* name;
        Bytes wav;
        bool same_samples;  // 16-bit samples that must come through unchanged
        std::vector<std::string> extra;
    } cases[] = {
        {"list", riff({{"fmt ", fmt_of(plain)}, {"LIST", Bytes(26, 'x')}, {"data", pcm}}), true, {}},
        {"bext", riff({{"bext", Bytes(602, 0)}, {"fmt ", fmt_of(plain)}, {"data", pcm}}), true, {}},
        {"ext", riff({{"fmt ", extensible}, {"data", pcm}}), true, {}},
        {"bits24", make_wav(2, 24, 3000, pattern_bytes(3000, 4)), false, {}},
        {"float", make_wav(1, 32, 4000, floats, 44100, 3), false, {}},
        {"four", make_wav(4, 16, 4096, pcm), false, {"-c", "2"}},
    };
    ASSERT_TRUE(write_file("s.wav", plain));
    const Bytes expected = convert("s");
    ASSERT_FALSE(expected.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_file("in.wav", c.wav));
        ASSERT_TRUE(write_file("s.wav", c.wav));
        EXPECT_TRUE(convert("s").empty()) << "wav2zvk took the file as it is";
        ASSERT_TRUE(sox("in.wav", "s.wav", c.extra));
        const Bytes ins = convert("s");
        EXPECT_FALSE(ins.empty()) << "wav2zvk refused what sox wrote";
        if (c.same_samples) {
            EXPECT_TRUE(ins == expected) << "the samples changed";
        }
    }
}

}  // namespace
