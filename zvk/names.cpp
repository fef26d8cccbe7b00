// Names between the host and the volume, type names, and the volume paths
// of the command line.
#include <cstring>

#include "engine.h"

namespace zvk {

namespace {

const char HEX[] = "0123456789ABCDEF";

void escape_byte(std::string& out, unsigned char c) {
    out += '%';
    out += HEX[c >> 4];
    out += HEX[c & 15];
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

bool name_for_entry(std::string_view host_name, RawName* raw, std::string* why) {
    if (host_name.empty()) {
        *why = "empty name";
        return false;
    }
    if (host_name.find('/') != std::string_view::npos) {
        *why = "a name cannot hold '/'";
        return false;
    }
    if (name_encode(std::string(host_name).c_str(), *raw) != 0) {
        *why = "name longer than 12 bytes";
        return false;
    }
    return true;
}

std::string display_name(std::string_view listed) {
    std::string out;
    for (char ch : listed) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (is_control(c)) escape_byte(out, c);
        else out += ch;
    }
    return out;
}

std::string host_safe_name(std::string_view listed) {
    // folder_listing never gives "", ".", ".." or a '/'; a name a later
    // command would take for an option loses its leading '-'.
    std::string out = display_name(listed);
    if (out.empty()) return "%20";
    if (out[0] == '-') out.replace(0, 1, "%2D");
    return out;
}

std::string audio_entry_name(std::string_view host_file_name) {
    const std::size_t slash = host_file_name.rfind('/');
    if (slash != std::string_view::npos) host_file_name.remove_prefix(slash + 1);
    const std::size_t dot = host_file_name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) host_file_name = host_file_name.substr(0, dot);
    return std::string(host_file_name);
}

std::string type_label(std::uint8_t type) {
    if (type == TYPE_SUBDIR) return "folder";
    if (type == TYPE_PARENT) return "parent";
    const char* shown = type_display_name(type);
    if (shown == FILE_TYPES.back().name) return "unknown";
    std::string out;
    for (const char* p = shown; *p; ++p) {
        if (*p != ' ') out += *p;
        else if (!out.empty() && out.back() != ' ') out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

bool valid_file_type(int type) {
    return type >= 1 && type <= 255 && type != TYPE_SUBDIR && type != TYPE_PARENT && type != TYPE_OS;
}

Spec parse_spec(std::string_view arg) {
    Spec s;
    s.text = std::string(arg);
    std::size_t colon = 0;
    while ((colon = arg.find(':', colon)) != std::string_view::npos) {
        if (colon + 1 < arg.size() && arg[colon + 1] == '/') break;
        ++colon;
    }
    if (colon != std::string_view::npos && colon > 0) {
        s.volume = true;
        s.image = std::string(arg.substr(0, colon));
        s.path = std::string(arg.substr(colon + 1));
        s.slash = s.path.back() == '/';
        return s;
    }
    s.path = s.text;
    s.slash = !s.path.empty() && s.path.back() == '/';
    return s;
}

std::string shown(const std::string& image, std::string_view path) {
    std::string s = image + ":";
    if (path.empty() || path[0] != '/') s += '/';
    s += path;
    return s;
}

}  // namespace zvk
