// The converter's only output helper: every line it writes goes through
// msg_print to the message stream, standard error unless a test or the
// fuzz driver points it elsewhere.
#pragma once

#include <cstdio>

// Point the messages at another stream; nullptr restores standard error.
void msg_set_stream(std::FILE* stream);

// printf to the message stream.
void msg_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
