#include "names.h"

#include <cstring>

namespace {

const char HEX[] = "0123456789ABCDEF";

}  // namespace

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string name_display(const std::uint8_t* stored) {
    std::size_t len = NAME_LEN;
    while (len > 0 && stored[len - 1] == ' ') --len;
    if (len == 0) return "%20";
    std::string s;
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t c = stored[i];
        if (c == '/' || c == '\0' || c == '%') {
            s += '%';
            s += HEX[c >> 4];
            s += HEX[c & 15];
        } else {
            s += static_cast<char>(c);
        }
    }
    if (s == ".") return "%2E";
    if (s == "..") return "%2E%2E";
    return s;
}

int name_encode(const char* host, RawName& out) {
    out.fill(' ');
    std::size_t n = 0;
    for (const char* p = host; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '%' && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            c = static_cast<unsigned char>(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        } else if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - 'a' + 'A');
        }
        if (n == NAME_LEN) return -1;
        out[n++] = c;
    }
    return 0;
}
