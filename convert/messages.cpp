// Message output of the converter.
#include "messages.h"

#include <cstdarg>

namespace {
std::FILE* msg_stream = nullptr;
}  // namespace

void msg_set_stream(std::FILE* stream) {
    msg_stream = stream;
}

void msg_print(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(msg_stream != nullptr ? msg_stream : stderr, fmt, ap);
    va_end(ap);
}
