// Sound files into instruments.
#include "audio_in.h"

#include "transfer.h"

namespace zvk {

bool audio_available() { return false; }

std::uint64_t audio_instrument_bytes(const std::string&, bool, std::string* why) {
    *why = "this zvk was built without audio conversion (libsndfile)";
    return 0;
}

ChainFill audio_fill(Volume&, const std::string&, bool, std::uint64_t) {
    return [](std::uint64_t, std::uint64_t) { return -1; };
}

}  // namespace zvk
