#include "paths.h"

#include "names.h"

namespace {

const char HEX[] = "0123456789ABCDEF";

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

}  // namespace

std::string web_name(std::string_view host) {
    std::string out;
    for (char ch : host) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (printable(c)) {
            out += ch;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

std::string host_name(std::string_view web) {
    std::string out;
    for (std::size_t i = 0; i < web.size(); ++i) {
        if (web[i] == '%' && i + 2 < web.size() && hex_value(web[i + 1]) >= 0 && hex_value(web[i + 2]) >= 0) {
            const unsigned char c = static_cast<unsigned char>(hex_value(web[i + 1]) * 16 + hex_value(web[i + 2]));
            // Only what web_name adds is decoded here; the escapes of the
            // host name itself stay for the layer to decode.
            if (!printable(c) && c != 0) {
                out += static_cast<char>(c);
                i += 2;
                continue;
            }
        }
        out += web[i];
    }
    return out;
}

bool path_ok(std::string_view path) {
    if (path.size() > 4096) return false;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        const std::string_view part = path.substr(i, j - i);
        if (part == "." || part == "..") return false;
        i = j + 1;
    }
    return path.find('\0') == std::string_view::npos && path.find('\\') == std::string_view::npos;
}

std::string path_leaf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string path_parent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string path_join(std::string_view folder, std::string_view leaf) {
    std::string out(folder);
    if (out.empty() || out.back() != '/') out += '/';
    out += leaf;
    return out;
}

std::string download_name(std::string_view name) {
    std::string out;
    for (char c : name) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        out += keep ? c : '_';
    }
    if (out.empty() || out == "." || out == "..") out = "volume";
    return out;
}
