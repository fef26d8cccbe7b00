// How the 12-byte names of a volume appear as host file names, and back.
//
// A stored name loses its trailing spaces. The bytes a host name cannot
// hold (`/`, NUL) and the escape character itself are written as %2F, %00
// and %25; an all-space name is "%20", and "." and ".." become "%2E" and
// "%2E%2E". A name that an earlier entry of the same directory already
// shows gets "%#N" appended, N its entry number, so every entry is reachable.
#pragma once

#include <array>
#include <string>

#include "format.h"

using RawName = std::array<std::uint8_t, NAME_LEN>;

// The host name of the stored name (without the duplicate suffix).
std::string name_display(const std::uint8_t* stored);

// The stored form of a host name: escapes decoded, a-z upper-cased, padded
// with spaces. 0, or -1 when it is longer than 12 bytes (ENAMETOOLONG).
int name_encode(const char* host, RawName& out);

// The value of a hexadecimal digit (either case), -1 for any other byte.
int hex_value(char c);

