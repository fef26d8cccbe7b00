// cp --audio and import --audio: sound files of several widths and
// containers, written here with libsndfile (and one with sox), become
// instruments whose samples are those written (within one step where
// dithered, exact for 16-bit).
#include <sndfile.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

#include "audio.h"
#include "ins_format.h"
#include "zvk_fixture.h"

namespace zvktest {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Interleaved 32-bit samples (left-justified) or floats into a new file.
void write_sound(const std::string& path, int format, int channels, const std::vector<int>& ints,
                 const std::vector<float>& floats = {}) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = channels;
  info.format = format;
  SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(sf, nullptr) << path;
  const sf_count_t frames = static_cast<sf_count_t>((floats.empty() ? ints.size() : floats.size()) / channels);
  if (floats.empty()) sf_writef_int(sf, ints.data(), frames);
  else sf_writef_float(sf, floats.data(), frames);
  sf_close(sf);
}

std::vector<int> samples(std::size_t n, unsigned seed, int keep_mask) {
  std::vector<int> v(n);
  std::uint32_t x = seed * 2654435761u + 3;
  for (int& s : v) {
    x = x * 1103515245u + 12345u;
    s = static_cast<int>(x ^ (x >> 13)) & keep_mask;
  }
  return v;
}

std::size_t frames_of(const std::vector<std::uint8_t>& ins, unsigned channels) {
  const std::size_t bytes = std::size_t{ins[inshdr::SPREAD_SAMPLES]} << 16 |
                            std::size_t{ins[inshdr::SPREAD_SAMPLES + 2]} << 8 | ins[inshdr::SPREAD_SAMPLES + 4];
  return bytes / (2 * channels);
}

int sample(const std::vector<std::uint8_t>& ins, unsigned channels, std::size_t ch, std::size_t f) {
  const std::size_t at = TEMPLATE_SIZE + 2 * (ch * frames_of(ins, channels) + f);
  return static_cast<std::int16_t>(ins[at] << 8 | ins[at + 1]);
}

class ZvkAudio : public ZvkCmd {
 protected:
  void SetUp() override {
    write_file(tmp.file("t.template"), pattern(TEMPLATE_SIZE, 77));
    setenv("ZVK_TEMPLATE", tmp.file("t.template").c_str(), 1);
    make_volume(4000);
  }
  void TearDown() override { unsetenv("ZVK_TEMPLATE"); }
  std::vector<std::uint8_t> entry(const std::string& path) const {
    RunResult r = zvk({"cat", "vol.img:/" + path});
    return std::vector<std::uint8_t>(r.out.begin(), r.out.end());
  }
};

TEST_F(ZvkAudio, SoundFilesBecomeInstruments) {
  struct Case {
    const char* file;
    const char* entry;
    int format;
    int channels;
    bool exact;
  } cases[] = {
      {"w16.wav", "W16", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, true},
      {"w24.wav", "W24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, false},
      {"a24.aiff", "A24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, false},
      {"f16.flac", "F16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, true},
  };
  std::vector<std::vector<int>> inputs;
  std::vector<std::string> args = {"cp", "--audio"};
  for (const Case& c : cases) {
    inputs.push_back(samples(6000, static_cast<unsigned>(c.format), c.exact ? ~0xFFFF : ~0xFF));
    write_sound(tmp.file(c.file), c.format, c.channels, inputs.back());
    args.push_back(c.file);
  }
  std::vector<float> floats(4000);
  for (std::size_t i = 0; i < floats.size(); ++i) floats[i] = static_cast<float>(std::sin(i * 0.01) * 0.8);
  write_sound(tmp.file("fl.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, {}, floats);
  args.push_back("fl.wav");
  args.push_back("vol.img:/SND/");
  RunResult r = zvk(args);
  ASSERT_TRUE(r.exited(0)) << describe(r);
  expect_clean();
  EXPECT_EQ(zvk({"ls", "vol.img:/SND"}).out, "W16\nW24\nA24\nF16\nFL\n");
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.file);
    const std::vector<std::uint8_t> ins = entry(std::string("SND/") + c.entry);
    const auto ch = static_cast<unsigned>(c.channels);
    ASSERT_GT(frames_of(ins, ch), 2000u);
    for (std::size_t i = 0; i < frames_of(ins, ch) * ch; ++i)
      ASSERT_LE(std::fabs(sample(ins, ch, i % ch, i / ch) - std::floor(inputs[k][i] / 65536.0 + 0.5)), c.exact ? 0 : 1)
          << i;
  }
  const std::vector<std::uint8_t> fl = entry("SND/FL");
  for (std::size_t i = 0; i < frames_of(fl, 2) * 2; ++i)
    ASSERT_LE(std::fabs(sample(fl, 2, i % 2, i / 2) - std::floor(floats[i] * 32768.0 + 0.5)), 1) << i;
  // The 16-bit file is the converter's instrument byte for byte.
  AudioOptions o;
  o.name = "W16";
  std::vector<std::uint8_t> want;
  std::string why;
  ASSERT_EQ(audio_to_instrument(tmp.file("w16.wav").c_str(), o, &want, &why), AUDIO_OK) << why;
  EXPECT_TRUE(entry("SND/W16") == whole_blocks(want));
  EXPECT_TRUE(has(zvk({"ls", "-l", "vol.img:/SND/W16"}).out, "   3 instr tlm "));
}

TEST_F(ZvkAudio, ChannelsTypesImportsAndSox) {
  write_sound(tmp.file("six.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6, samples(6 * 1000, 1, ~0xFFFF));
  RunResult r = zvk({"cp", "--audio", "six.wav", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "error: six.wav: ")) << r.err;
  EXPECT_STATUS(zvk({"cp", "--audio", "--mix", "--type", "9", "six.wav", "vol.img:/"}), 0);
  EXPECT_TRUE(has(zvk({"ls", "-l", "vol.img:/SIX"}).out, "   9 macro tlm")) << zvk({"ls", "-l", "vol.img"}).out;
  r = zvk({"cp", "--audio", "t.template", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  // An archive of sound files imported with --audio.
  ASSERT_EQ(mkdir(tmp.file("snd").c_str(), 0755), 0);
  write_sound(tmp.file("snd/w24.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, samples(4000, 2, ~0xFF));
  ASSERT_EQ(system(("cd " + tmp.path() + " && tar -cf snd.tar snd").c_str()), 0);
  EXPECT_STATUS(zvk({"import", "--audio", "snd.tar", "vol.img:/IMP/"}), 0);
  EXPECT_STATUS(zvk({"cp", "--audio", "snd/w24.wav", "vol.img:/"}), 0);
  EXPECT_TRUE(entry("IMP/SND/W24") == entry("W24"));
  // A 24-bit file sox wrote.
  if (system("command -v sox >/dev/null") == 0) {
    ASSERT_EQ(system(("cd " + tmp.path() + " && sox -n -b 24 -c 2 s24.wav synth 0.2 sine 440").c_str()), 0);
    EXPECT_STATUS(zvk({"cp", "--audio", "s24.wav", "vol.img:/"}), 0);
    EXPECT_GT(entry("S24").size(), TEMPLATE_SIZE + 8000);
  }
  expect_clean();
}

}  // namespace
}  // namespace zvktest
