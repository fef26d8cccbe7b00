// Sound files to instruments: libsndfile decodes, each frame is brought to
// 16 bits (mixed and dithered where needed), and the instrument is laid out
// by ins_format on the template that wav2zvk reads.
#include "audio.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ins_format.h"
#include "wav2zvk.h"

#ifndef ZVK_TEMPLATE_PATH
#error "ZVK_TEMPLATE_PATH must name the instrument template file"
#endif

namespace {

// Samples decoded per step, all channels counted.
constexpr std::size_t DECODE_SAMPLES = 16384;

// A descriptor closed when it goes out of scope.
class InputFd {
public:
    explicit InputFd(int fd) : fd_(fd) {}
    InputFd(const InputFd&) = delete;
    InputFd& operator=(const InputFd&) = delete;
    ~InputFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// A libsndfile handle closed when it goes out of scope.
struct SoundClose {
    void operator()(SNDFILE* sf) const { sf_close(sf); }
};
using Sound = std::unique_ptr<SNDFILE, SoundClose>;

// Where a channel goes when more than two are mixed to stereo.
enum class Side { LEFT, RIGHT, BOTH };

// What the conversion of one input does.
struct Plan {
    int in_channels = 0;
    unsigned out_channels = 0;
    bool dither = false;
    std::vector<Side> sides;  // one per input channel when mixing, else empty
    double left_n = 0, right_n = 0;  // channels on each side, for the mean
    std::size_t frames = 0;          // frames that fill the sample area
    InsSizes sizes{};
};

// Triangular dither: the sum of two uniform values, -1 to +1 step, from a
// fixed seed (xorshift32).
class Tpdf {
public:
    double next() { return uniform() + uniform() - 1.0; }

private:
    double uniform() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return (state_ >> 8) * (1.0 / 16777216.0);
    }
    std::uint32_t state_ = 0x2545F491u;
};

// libsndfile's text for the last failure, without its full stop.
std::string sound_error(SNDFILE* sf) {
    std::string text = sf_strerror(sf);
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string errno_text(int err) {
    return err != 0 ? std::strerror(err) : "it holds fewer than 2832 bytes";
}

// Read the template as wav2zvk does, with the reason of a failure.
int load_template(const std::string& path, std::unique_ptr<unsigned char[]>& tmpl, std::string* why) {
    int err = 0;
    int rc = tmpl_read(path.c_str(), tmpl, &err);
    if (rc == CONV_OK)
        return AUDIO_OK;
    if (rc == TMPL_ERR_MEMORY)
        *why = "out of memory";
    else if (rc == TMPL_ERR_OPEN)
        *why = "can't open the instrument template " + path + ": " + errno_text(err);
    else
        *why = "can't read the instrument template " + path + ": " + errno_text(err);
    return AUDIO_ERR_TEMPLATE;
}

// Let libsndfile read the header of the open input. It is handed the
// descriptor, not the path, so that no file is taken for headerless audio
// because of its extension.
int open_sound(const InputFd& fd, Sound& snd, SF_INFO& info, std::string* why) {
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = "is a folder";
        return AUDIO_ERR_FORMAT;
    }
    std::memset(&info, 0, sizeof info);
    snd.reset(sf_open_fd(fd.get(), SFM_READ, &info, SF_FALSE));
    if (!snd) {
        *why = "not readable as audio (" + sound_error(nullptr) + ")";
        return AUDIO_ERR_FORMAT;
    }
    if (info.channels < 1 || info.frames < 0 || info.frames == SF_COUNT_MAX) {
        *why = "not readable as audio (no channels or an unknown length)";
        return AUDIO_ERR_FORMAT;
    }
    return AUDIO_OK;
}

// True for encodings whose samples decode to 16 bits or fewer, which come
// through unchanged; everything else is dithered.
bool fits_16_bits(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16:
    case SF_FORMAT_ULAW: case SF_FORMAT_ALAW: case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM: case SF_FORMAT_GSM610: case SF_FORMAT_VOX_ADPCM:
    case SF_FORMAT_G721_32: case SF_FORMAT_G723_24: case SF_FORMAT_G723_40:
    case SF_FORMAT_DWVW_12: case SF_FORMAT_DWVW_16: case SF_FORMAT_DPCM_8:
    case SF_FORMAT_DPCM_16: case SF_FORMAT_ALAC_16:
        return true;
    default:
        return false;
    }
}

// The side of a speaker position of libsndfile's channel map.
Side side_of_position(int pos) {
    switch (pos) {
    case SF_CHANNEL_MAP_LEFT: case SF_CHANNEL_MAP_FRONT_LEFT: case SF_CHANNEL_MAP_REAR_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: case SF_CHANNEL_MAP_SIDE_LEFT:
    case SF_CHANNEL_MAP_TOP_FRONT_LEFT: case SF_CHANNEL_MAP_TOP_REAR_LEFT:
        return Side::LEFT;
    case SF_CHANNEL_MAP_RIGHT: case SF_CHANNEL_MAP_FRONT_RIGHT: case SF_CHANNEL_MAP_REAR_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: case SF_CHANNEL_MAP_SIDE_RIGHT:
    case SF_CHANNEL_MAP_TOP_FRONT_RIGHT: case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
        return Side::RIGHT;
    default:
        return Side::BOTH;
    }
}

// The side of channel ch in the usual WAVE speaker order, for files that
// carry no channel map.
Side side_by_order(std::size_t ch) {
    static const Side order[] = {
        Side::LEFT, Side::RIGHT, Side::BOTH, Side::BOTH,   // front left, right, centre, LFE
        Side::LEFT, Side::RIGHT, Side::LEFT, Side::RIGHT,  // back, front of centre
        Side::BOTH, Side::LEFT, Side::RIGHT, Side::BOTH,   // back centre, side, top centre
        Side::LEFT, Side::BOTH, Side::RIGHT,               // top front
        Side::LEFT, Side::BOTH, Side::RIGHT};              // top back
    return ch < sizeof order / sizeof order[0] ? order[ch] : Side::BOTH;
}

// Place every channel for the mix and count the channels of each side; a
// side left empty takes every channel.
void plan_mix(SNDFILE* sf, Plan& plan) {
    const auto n = static_cast<std::size_t>(plan.in_channels);
    std::vector<int> map(n, SF_CHANNEL_MAP_INVALID);
    bool have_map = sf_command(sf, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                               static_cast<int>(n * sizeof(int))) == SF_TRUE;
    plan.sides.resize(n);
    for (std::size_t ch = 0; ch < n; ++ch)
        plan.sides[ch] = have_map ? side_of_position(map[ch]) : side_by_order(ch);
    plan.left_n = plan.right_n = 0;
    for (Side s : plan.sides) {
        plan.left_n += s != Side::RIGHT;
        plan.right_n += s != Side::LEFT;
    }
    if (plan.left_n == 0 || plan.right_n == 0) {
        plan.sides.assign(n, Side::BOTH);
        plan.left_n = plan.right_n = static_cast<double>(n);
    }
}

// Check the channels and the length, and decide on mixing and dither.
int plan_conversion(SNDFILE* sf, const SF_INFO& info, bool mix, Plan& plan, std::string* why) {
    plan.in_channels = info.channels;
    if (info.channels > 2 && !mix) {
        *why = std::to_string(info.channels) + " channels, but an instrument is mono or stereo "
               "(--mix makes stereo of them)";
        return AUDIO_ERR_CHANNELS;
    }
    plan.out_channels = info.channels > 2 ? 2 : static_cast<unsigned>(info.channels);
    if (info.channels > 2)
        plan_mix(sf, plan);
    plan.dither = info.channels > 2 || !fits_16_bits(info.format);
    // Whole groups of 16 bytes are kept, as wav2zvk keeps them.
    const std::uint64_t max_frames = (INS_MAX_SAMPLE_BYTES + 15) / (2 * plan.out_channels);
    const auto frames = static_cast<std::uint64_t>(info.frames);
    if (frames > max_frames) {
        *why = "too long: " + std::to_string(frames) + (plan.out_channels == 1 ? " mono" : " stereo") +
               " frames, an instrument holds at most " + std::to_string(max_frames);
        return AUDIO_ERR_TOO_LONG;
    }
    plan.sizes = ins_sizes(static_cast<std::uint32_t>(frames * 2 * plan.out_channels), 16);
    plan.frames = plan.sizes.sample_bytes / (2 * plan.out_channels);
    return AUDIO_OK;
}

// One sample, scaled to 16-bit steps, rounded (after dither) and clipped.
std::int16_t to_16(double v, bool dither, Tpdf& tpdf) {
    if (std::isnan(v))
        v = 0;
    if (dither)
        v += tpdf.next();
    v = std::floor(v + 0.5);
    if (v > 32767)
        return 32767;
    if (v < -32768)
        return -32768;
    return static_cast<std::int16_t>(v);
}

// Bring count decoded frames (full scale +-1) to 16-bit frames of the
// output's channels, mixing when the plan says so.
void reduce(const double* in, std::size_t count, const Plan& plan, Tpdf& tpdf, std::int16_t* out) {
    const auto n = static_cast<std::size_t>(plan.in_channels);
    if (plan.sides.empty()) {
        for (std::size_t i = 0; i < count * n; ++i)
            out[i] = to_16(in[i] * 32768.0, plan.dither, tpdf);
        return;
    }
    for (std::size_t f = 0; f < count; ++f) {
        double left = 0, right = 0;
        for (std::size_t ch = 0; ch < n; ++ch) {
            const double v = in[f * n + ch];
            left += plan.sides[ch] != Side::RIGHT ? v : 0.0;
            right += plan.sides[ch] != Side::LEFT ? v : 0.0;
        }
        out[2 * f] = to_16(left / plan.left_n * 32768.0, true, tpdf);
        out[2 * f + 1] = to_16(right / plan.right_n * 32768.0, true, tpdf);
    }
}

// Decode the frames that fill the sample area, step by step, into it.
int decode(SNDFILE* sf, const Plan& plan, unsigned char* area, std::string* why) {
    const auto n = static_cast<std::size_t>(plan.in_channels);
    const std::size_t step = DECODE_SAMPLES / n > 0 ? DECODE_SAMPLES / n : 1;
    std::vector<double> in(step * n);
    std::vector<std::int16_t> out(step * plan.out_channels);
    Tpdf tpdf;
    for (std::size_t done = 0; done < plan.frames;) {
        const std::size_t want = std::min(step, plan.frames - done);
        const sf_count_t got = sf_readf_double(sf, in.data(), static_cast<sf_count_t>(want));
        if (got != static_cast<sf_count_t>(want)) {
            *why = sf_error(sf) != SF_ERR_NO_ERROR
                       ? "can't decode the samples (" + sound_error(sf) + ")"
                       : "the samples end after " + std::to_string(done + static_cast<std::size_t>(got > 0 ? got : 0)) +
                             " of " + std::to_string(plan.frames) + " frames";
            return AUDIO_ERR_READ;
        }
        reduce(in.data(), want, plan, tpdf, out.data());
        ins_put_frames(out.data(), want, done, plan.out_channels, plan.sizes.sample_bytes, area);
        done += want;
    }
    return AUDIO_OK;
}

int convert(const char* path, const AudioOptions& opt, std::vector<std::uint8_t>& out, std::string* why) {
    std::unique_ptr<unsigned char[]> tmpl;
    int rc = load_template(opt.template_path.empty() ? audio_template_path() : opt.template_path, tmpl, why);
    if (rc != AUDIO_OK)
        return rc;
    InputFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        *why = std::string("can't open: ") + std::strerror(errno);
        return AUDIO_ERR_OPEN;
    }
    Sound snd;  // closed before the descriptor
    SF_INFO info;
    rc = open_sound(fd, snd, info, why);
    if (rc != AUDIO_OK)
        return rc;
    Plan plan;
    rc = plan_conversion(snd.get(), info, opt.mix, plan, why);
    if (rc != AUDIO_OK)
        return rc;
    out.assign(plan.sizes.file_len, 0);
    rc = decode(snd.get(), plan, out.data() + TEMPLATE_SIZE, why);
    if (rc != AUDIO_OK)
        return rc;
    const std::string name = opt.name.empty() ? audio_entry_name(path) : opt.name;
    ins_fill_header(out.data(), tmpl.get(), plan.sizes, name.c_str());
    return AUDIO_OK;
}

}  // namespace

int audio_to_instrument(const char* path, const AudioOptions& opt, std::vector<std::uint8_t>* out,
                        std::string* why) {
    std::string reason;
    int rc;
    // The standard containers are the only source of exceptions here.
    try {
        rc = convert(path, opt, *out, &reason);
    } catch (const std::bad_alloc&) {
        rc = AUDIO_ERR_MEMORY;
        reason = "out of memory";
    }
    if (rc != AUDIO_OK) {
        out->clear();
        out->shrink_to_fit();
    }
    if (why != nullptr)
        *why = rc == AUDIO_OK ? std::string() : reason;
    return rc;
}

bool audio_template_available(const std::string& path, std::string* why) {
    std::unique_ptr<unsigned char[]> tmpl;
    std::string reason;
    bool ok = load_template(path, tmpl, &reason) == AUDIO_OK;
    if (why != nullptr)
        *why = reason;
    return ok;
}

std::string audio_template_path() {
    const char* env = std::getenv("ZVK_TEMPLATE");
    return env != nullptr && *env != '\0' ? env : ZVK_TEMPLATE_PATH;
}

std::string audio_entry_name(const char* path) {
    const char* base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const char* dot = std::strrchr(base, '.');
    return dot != nullptr && dot != base ? std::string(base, dot) : std::string(base);
}
