// Archive names and paths, and the lines of the zip manifest.
#include "archive/archive.h"

#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive_internal.h"

namespace {

bool ends_with_nocase(std::string_view name, std::string_view ending) {
    if (name.size() <= ending.size()) return false;  // a bare ".tar" names nothing
    name.remove_prefix(name.size() - ending.size());
    for (std::size_t i = 0; i < ending.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ending[i]) return false;
    }
    return true;
}

// Why a '/'-separated relative path is unusable, or "".
std::string components_problem(std::string_view path) {
    if (path.empty()) return "empty name";
    if (path.find('\0') != std::string_view::npos) return "NUL byte in the name";
    if (path.front() == '/') return "absolute name";
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (part.empty()) return "empty component in the name";
        if (part == ".") return "'.' component in the name";
        if (part == "..") return "'..' component in the name (it leads out of the folder)";
        if (slash == std::string_view::npos) return "";
        start = slash + 1;
    }
}

// Write s into out, with the manifest's escapes.
void escape_into(std::string_view s, std::string* out) {
    for (char c : s) {
        switch (c) {
        case '\\': *out += "\\\\"; break;
        case '\t': *out += "\\t"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        default: *out += c;
        }
    }
}

// Undo escape_into: false on an unknown escape.
bool unescape(std::string_view s, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            *out += s[i];
            continue;
        }
        if (++i == s.size()) return false;
        switch (s[i]) {
        case '\\': *out += '\\'; break;
        case 't': *out += '\t'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        default: return false;
        }
    }
    return true;
}

}  // namespace

int format_for_archive_name(std::string_view name, ArchiveFormat* format, std::string* why) {
    static const struct {
        const char* ending;
        ArchiveFormat format;
    } endings[] = {
        {".tar", ArchiveFormat::tar},         {".tar.gz", ArchiveFormat::tar_gz},
        {".tgz", ArchiveFormat::tar_gz},      {".tar.zst", ArchiveFormat::tar_zst},
        {".tzst", ArchiveFormat::tar_zst},    {".zip", ArchiveFormat::zip},
    };
    for (const auto& e : endings) {
        if (ends_with_nocase(name, e.ending)) {
            *format = e.format;
            return 0;
        }
    }
    *why = "cannot tell the archive format from the name " + std::string(name) + " (it must end in " +
           ZVK_ARCHIVE_ENDINGS + ")";
    return -1;
}

int clean_archive_path(std::string_view raw, bool folder, std::string* clean, std::string* why) {
    std::string_view p = raw;
    if (!p.empty() && p.front() == '/') {
        *why = "absolute name";
        return -1;
    }
    while (p.size() >= 2 && p.substr(0, 2) == "./") {
        p.remove_prefix(2);
        while (!p.empty() && p.front() == '/') p.remove_prefix(1);
    }
    if (folder && !p.empty() && p.back() == '/') p.remove_suffix(1);
    if (folder && (p.empty() || p == ".") && !raw.empty()) {
        clean->clear();
        return 1;
    }
    *why = components_problem(p);
    if (!why->empty()) return -1;
    clean->assign(p);
    return 0;
}

std::string writer_path_problem(std::string_view path) {
    if (!path.empty() && path.back() == '/') return "name ends in '/'";
    return components_problem(path);
}

std::string type_text(int type) { return std::to_string(type); }

int type_parse(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.remove_suffix(1);
    if (text.empty() || text.size() > 3) return -1;
    int type = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        type = type * 10 + (c - '0');
    }
    return type <= 255 ? type : -1;
}

std::string manifest_format(const ManifestLine& line) {
    std::string text = type_text(line.type);
    text += '\t';
    escape_into(line.path, &text);
    if (!line.target.empty()) {
        text += '\t';
        escape_into(line.target, &text);
    }
    text += '\n';
    return text;
}

bool manifest_parse(std::string_view text, ManifestLine* out) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    const std::size_t tab1 = text.find('\t');
    if (text.empty() || text.front() == '#' || tab1 == std::string_view::npos) return false;
    out->type = type_parse(text.substr(0, tab1));
    const std::size_t tab2 = text.find('\t', tab1 + 1);
    const std::string_view path = text.substr(tab1 + 1, tab2 == std::string_view::npos ? tab2 : tab2 - tab1 - 1);
    out->target.clear();
    if (out->type < 0 || !unescape(path, &out->path)) return false;
    return tab2 == std::string_view::npos || unescape(text.substr(tab2 + 1), &out->target);
}

const char* archive_reason(struct archive* a) {
    const char* why = archive_error_string(a);
    return why ? why : "unknown error";
}

int anonymous_file(UniqueFd* out, std::string* why) {
    const char* env = std::getenv("TMPDIR");
    const std::string dir = env && *env ? env : "/tmp";
#ifdef O_TMPFILE
    out->reset(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (out->get() >= 0) return 0;
#endif
    std::string name = dir + "/zvk-archive-XXXXXX";
    out->reset(::mkostemp(name.data(), O_CLOEXEC));
    if (out->get() < 0) {
        *why = "cannot make a temporary file in " + dir + ": " + std::strerror(errno);
        return -1;
    }
    ::unlink(name.c_str());
    return 0;
}

int write_all(int fd, const void* data, std::size_t size, std::string* why) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = std::string("write failed: ") + (n < 0 ? std::strerror(errno) : "nothing written");
            return -1;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}
