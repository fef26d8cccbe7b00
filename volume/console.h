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
// newline included when it fits; false at end of input or on a read error.
bool input_line(char* buf, int size);

// Read one character from the input stream; EOF at end of input.
int input_char();
