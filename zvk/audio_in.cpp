// Sound files into instruments, with the converter library where this
// build has it.
#include "audio_in.h"

#include "transfer.h"

#if ZVK_HAVE_AUDIO
#include "audio.h"
#endif

namespace zvk {

#if ZVK_HAVE_AUDIO

bool audio_available() { return true; }

std::string audio_template_problem() {
    std::string why;
    const std::string path = audio_template_path();
    return audio_template_available(path, &why) ? std::string() : path + ": " + why;
}

std::uint64_t audio_instrument_bytes(const std::string& path, bool mix, std::string* why) {
    AudioOptions o;
    o.mix = mix;
    std::vector<std::uint8_t> out;
    if (audio_to_instrument(path.c_str(), o, &out, why) != AUDIO_OK) return 0;
    return out.size();
}

ChainFill audio_fill(Volume& v, const std::string& path, bool mix, std::uint64_t blocks, const std::string& name) {
    return [&v, path, mix, blocks, name](std::uint64_t start, std::uint64_t contiguous) {
        AudioOptions o;
        o.mix = mix;
        o.name = name;
        std::vector<std::uint8_t> out;
        std::string why;
        // Converted again as the chain is filled, so only one instrument is
        // held at a time; a file that changed since the check fails.
        if (audio_to_instrument(path.c_str(), o, &out, &why) != AUDIO_OK) return -1;
        if ((out.size() + BLOCK_SIZE - 1) / BLOCK_SIZE != blocks) return -1;
        return fill_from_buffer(v, out.data(), out.size(), blocks)(start, contiguous);
    };
}

#else

bool audio_available() { return false; }

std::string audio_template_problem() { return "this zvk was built without audio conversion (libsndfile)"; }

std::uint64_t audio_instrument_bytes(const std::string&, bool, std::string* why) {
    *why = "this zvk was built without audio conversion (libsndfile)";
    return 0;
}

ChainFill audio_fill(Volume&, const std::string&, bool, std::uint64_t, const std::string&) {
    return [](std::uint64_t, std::uint64_t) { return -1; };
}

#endif

}  // namespace zvk
