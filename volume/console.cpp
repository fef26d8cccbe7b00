#include "console.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
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

namespace {

// What was read from the descriptor of the input stream and not yet taken.
// Reading the descriptor here rather than through stdio's buffer tells
// exactly when nothing is held, so the wait for input never sleeps while a
// line is already at hand.
struct InputBuffer {
    std::FILE* stream = nullptr;  // the stream the bytes came from
    char data[4096];
    int pos = 0;
    int len = 0;
    bool at_end = false;  // end of input met: it stays the end, as with stdio
    bool failed = false;  // the last read failed or a signal ended it
};

InputBuffer input;

// The next character of the input stream's descriptor; EOF at the end, on a
// read error and once a signal is pending (then failed is set).
int next_char(int fd) {
    if (input.stream != console.in) {
        input.stream = console.in;
        input.pos = input.len = 0;
        input.at_end = false;
    }
    input.failed = false;
    while (input.pos == input.len) {
        if (input.at_end) return EOF;
        const int w = input_wait(fd);
        if (w == 0) break;
        if (w < 0) continue;
        const ssize_t n = read(fd, input.data, sizeof input.data);
        if (n > 0) {
            input.pos = 0;
            input.len = static_cast<int>(n);
        } else if (n == 0) {
            input.at_end = true;
        } else if (errno != EINTR && errno != EAGAIN) {
            break;
        }
    }
    if (input.pos == input.len) {
        input.failed = !input.at_end;
        return EOF;
    }
    return static_cast<unsigned char>(input.data[input.pos++]);
}

// The three signals that end a session.
sigset_t session_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

int input_wait(int fd) {
    const sigset_t ending = session_signals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &ending, &before);
    sigset_t during = before;
    sigdelset(&during, SIGINT);
    sigdelset(&during, SIGTERM);
    sigdelset(&during, SIGHUP);
    int result = 1;
    if (!console_signal && fd >= 0 && fd < FD_SETSIZE) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        // Unblocks the signals and waits in one step: a signal that came
        // after the check above is taken here and ends the wait.
        if (pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &during) < 0 && errno == EINTR) result = -1;
    }
    // When input was ready as well, the wait does not take a pending signal;
    // nor does a mask the program inherited let it through. Take it now.
    sigprocmask(SIG_SETMASK, &during, nullptr);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return console_signal ? 0 : result;
}

bool input_line(char* buf, int size) {
    std::fflush(console.out);
    if (console_signal) return false;
    const int fd = fileno(console.in);
    if (fd < 0) return std::fgets(buf, size, console.in) != nullptr;  // a stream in memory
    int n = 0;
    while (n < size - 1) {
        const int c = next_char(fd);
        if (c == EOF) {
            if (input.failed || n == 0) return false;
            break;
        }
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return true;
}

int input_char() {
    std::fflush(console.out);
    if (console_signal) return EOF;
    const int fd = fileno(console.in);
    if (fd < 0) return std::fgetc(console.in);
    return next_char(fd);
}
