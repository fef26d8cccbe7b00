// Sound files of any kind libsndfile reads (WAVE in all its layouts, AIFF
// and AIFC, FLAC, Ogg, ...) made into Zorvek instrument files in memory,
// for programs that put them straight onto a volume.
//
// The samples are decoded once to 16 bits and laid out by the same code as
// wav2zvk's (ins_format.h), on the same template, so a 16-bit or 8-bit mono
// or stereo WAVE file gives the bytes wav2zvk writes, the name field aside.
// Nothing is resampled; the sample rate is not kept. Samples wider than 16
// bits (24- and 32-bit integers, floating point, lossy formats) and mixed
// channels are reduced with triangular dither of +-1 step from a fixed
// seed, so a conversion always gives the same bytes. Floating-point samples
// beyond full scale are clipped. Nothing here prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Results of audio_to_instrument: 0, or what stopped the conversion.
constexpr int AUDIO_OK = 0;
constexpr int AUDIO_ERR_TEMPLATE = 1;  // template missing, unreadable or shorter than 2832 bytes
constexpr int AUDIO_ERR_OPEN = 2;      // the input cannot be opened (missing, no permission)
constexpr int AUDIO_ERR_FORMAT = 3;    // the input is not readable as audio
constexpr int AUDIO_ERR_CHANNELS = 4;  // more than two channels without mix
constexpr int AUDIO_ERR_TOO_LONG = 5;  // more samples than an instrument holds
constexpr int AUDIO_ERR_READ = 6;      // decoding failed or ended before the announced length
constexpr int AUDIO_ERR_MEMORY = 7;    // no memory for the instrument

struct AudioOptions {
    // Template file; empty for audio_template_path().
    std::string template_path;
    // Name for the instrument's 12-character name field (upper-cased and
    // cut there); empty for audio_entry_name(path).
    std::string name;
    // More than two channels are mixed to stereo instead of refused: each
    // side is the mean of the channels placed on it, by the file's channel
    // map or else the usual WAVE speaker order (front left, front right,
    // centre, LFE, back left, back right, ...). Centre, LFE and unplaced
    // channels go to both sides. A mean never clips.
    bool mix = false;
};

// Convert the sound file at path into a complete instrument file image in
// *out. Returns AUDIO_OK, or one of the codes above with *out emptied and a
// short reason in *why (lower case, no path of the input, no final full
// stop), to be shown as "error: PATH: reason". out must not be null; why
// may be. Reads the input once, in pieces; only the output (at most
// 16,776,704 bytes) is held whole. As in wav2zvk, the samples are kept in
// whole groups of 16 bytes: up to 7 mono or 3 stereo frames at the end are
// left out.
int audio_to_instrument(const char* path, const AudioOptions& opt, std::vector<std::uint8_t>* out,
                        std::string* why);

// True when the template at path can be read and holds at least 2832
// bytes; otherwise false with the reason in *why.
bool audio_template_available(const std::string& path, std::string* why);

// The template path: the environment variable ZVK_TEMPLATE when it is set
// and not empty, else the path built into wav2zvk (ZVK_TEMPLATE_PATH).
// wav2zvk itself never reads the variable.
std::string audio_template_path();

// The file name of path without its folders and its last extension:
// "takes/Piano.take2.wav" gives "Piano.take2". A name whose only dot leads
// (".wav") is kept whole.
std::string audio_entry_name(const char* path);
