// The program's three streams and the only helpers that print.
//
// Listings go to the output stream, prompts, dialogues and messages to the
// error stream. Before anything is written to the error stream the output
// stream is flushed, so both appear in program order when they share one
// file or pipe. Tests and the fuzz driver point the streams elsewhere.
#pragma once

#include <csignal>
#include <cstdio>

struct Console {
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

extern Console console;

// Number of the signal that asked the session to end, or 0. Set by the
// signal handler; once set, input reads report end of input at once.
extern volatile std::sig_atomic_t console_signal;

// Point the streams back at the process's standard streams.
void console_reset();

// printf to the output stream (listings).
void out_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// printf to the error stream (prompts, dialogues, warnings, errors).
void err_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Read one line of at most size - 1 characters from the input stream, the
// newline included when it fits; false at end of input, on a read error or
// once a signal is pending.
bool input_line(char* buf, int size);

// Read one character from the input stream; EOF at end of input.
int input_char();

// Wait until fd can be read without blocking. SIGINT, SIGTERM and SIGHUP are
// blocked from the check of console_signal until the wait starts, so one
// that arrives just before the wait ends it at once. 1 when fd is readable,
// 0 when a signal asked the session to end, -1 when another signal
// interrupted the wait.
int input_wait(int fd);
