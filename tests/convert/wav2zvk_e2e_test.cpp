// End-to-end runs of the wav2zvk program, built to read its template from
// the build tree: standard output, standard error, exit status and files.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include "runner.h"
#include "wav_fixture.h"

namespace {

const std::string BANNER = "\n--- wav2zvk Version 0.21: WAVE to Zorvek instrument converter ---\n\n";

class Wav2zvkProgram : public ::testing::Test {
protected:
    void SetUp() override { install_test_template(WAV2ZVK_TEST_TEMPLATE); }
    zvktest::RunResult run(const char* program, std::vector<std::string> args, int mask = 022) {
        args.insert(args.begin(), program);
        zvktest::RunOptions opt;
        opt.cwd = dir_.path();
        opt.umask = mask;
        return zvktest::run(args, "", opt);
    }
    TempDir dir_;
};

TEST_F(Wav2zvkProgram, NoArgumentPrintsOnlyTheUsage) {
    zvktest::RunResult r = run(WAV2ZVK_TEST_BIN, {});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("usage: ") + WAV2ZVK_TEST_BIN + " <wav-file(s)>\n");
}

TEST_F(Wav2zvkProgram, ConvertsABatchAndGoesOnAfterFailures) {
    ASSERT_EQ(::mkdir("samples", 0700), 0);
    ASSERT_TRUE(write_file("samples/Kick.wav", make_wav(2, 16, 1000, pattern_bytes(1000))));
    ASSERT_TRUE(write_file("three.wav", make_wav(3, 8, 10, pattern_bytes(10), 32000)));
    ASSERT_TRUE(write_file("piano.wav", make_wav(1, 8, 1000, pattern_bytes(1000), 22050)));
    zvktest::RunResult r = run(WAV2ZVK_TEST_BIN, {"samples/Kick.wav", "missing.wav", "three.wav", "piano.wav"}, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, BANNER +
              "convert: wav-file=`samples/Kick.wav'\n         to ins-file=`samples/Kick'\n"
              "         sample rate=44100 Hz\n         channel nr.=2\n"
              "         sample size=1000 Bytes\n         Bit nr.=16\n"
              "convert: wav-file=`missing.wav'\n         to ins-file=`missing'\n"
              "error: can't open file `missing.wav'.\n"
              "convert: wav-file=`three.wav'\n         to ins-file=`three'\n"
              "         sample rate=32000 Hz\n         channel nr.=3\n"
              "error: unsupported channel number.\n"
              "convert: wav-file=`piano.wav'\n         to ins-file=`piano'\n"
              "         sample rate=22050 Hz\n         channel nr.=1\n"
              "         sample size=1000 Bytes\n         Bit nr.=8\n");
    Bytes kick, piano, tmpl = test_template();
    ASSERT_TRUE(read_file("samples/Kick", kick));
    ASSERT_TRUE(read_file("piano", piano));
    EXPECT_EQ(kick.size(), 4096u);
    EXPECT_EQ(piano.size(), 5120u);
    EXPECT_TRUE(std::equal(piano.begin() + 34, piano.begin() + 2544, tmpl.begin() + 34));
    EXPECT_FALSE(file_exists("three"));
    struct stat st;
    ASSERT_EQ(::stat("piano", &st), 0);  // created under umask 0
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Wav2zvkProgram, MissingTemplateStopsBeforeAnyInput) {
    ASSERT_TRUE(write_file("piano.wav", make_wav(1, 8, 1000, pattern_bytes(1000))));
    zvktest::RunResult r = run(WAV2ZVK_NOTMPL_BIN, {"piano.wav"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, BANNER + "error: can't open file `" + WAV2ZVK_ABSENT_TEMPLATE + "'.\n");
    EXPECT_FALSE(file_exists("piano"));
}

}  // namespace
