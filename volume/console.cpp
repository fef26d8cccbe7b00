#include "console.h"

#include <cstdarg>

Console console;
volatile std::sig_atomic_t console_signal = 0;

void console_reset() { console = Console{}; }

void out_print(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(console.out, fmt, ap);
    va_end(ap);
}

void err_print(const char* fmt, ...) {
    std::fflush(console.out);
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(console.err, fmt, ap);
    va_end(ap);
    std::fflush(console.err);
}

bool input_line(char* buf, int size) {
    std::fflush(console.out);
    if (console_signal) return false;
    return std::fgets(buf, size, console.in) != nullptr;
}

int input_char() {
    std::fflush(console.out);
    if (console_signal) return EOF;
    return std::fgetc(console.in);
}
