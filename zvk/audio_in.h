// Sound files converted into instruments on their way onto a volume, with
// the converter library when this build has it (ZVK_HAVE_AUDIO).
#pragma once

#include <cstdint>
#include <string>

#include "fsys.h"

namespace zvk {

// Bytes of the instrument the sound file at path becomes: 0 with why when
// it cannot be converted (or the build converts nothing).
std::uint64_t audio_instrument_bytes(const std::string& path, bool mix, std::string* why);

// The fill of an instrument's chain of blocks blocks, converted from the
// sound file at path when the chain is filled, name in its name field.
ChainFill audio_fill(Volume& v, const std::string& path, bool mix, std::uint64_t blocks, const std::string& name);

// Why the instrument template cannot be used ("PATH: reason"), or empty.
std::string audio_template_problem();

}  // namespace zvk
