// What the writer and the reader share: descriptors, unnamed temporary
// files, the check of a path the writer is given, and the lines of the zip
// manifest.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// A descriptor closed with its owner.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct archive;

// libarchive's message for its last error, never null.
const char* archive_reason(struct archive* a);

// An unnamed file in $TMPDIR (or /tmp), gone when closed; -1 with *why.
int anonymous_file(UniqueFd* out, std::string* why);

// The size bytes of an archive: 0, or -1 with *why.
int write_all(int fd, const void* data, std::size_t size, std::string* why);

// Check a path given to the writer: "" when it may be written, else why not.
std::string writer_path_problem(std::string_view path);

// The type as the decimal text an archive holds.
std::string type_text(int type);
// The type in the text of an attribute or manifest field (a trailing newline
// or NUL allowed): 0-255, or -1 when it is not one.
int type_parse(std::string_view text);

// One line of the zip manifest.
struct ManifestLine {
    int type = 0;
    std::string path;
    std::string target;  // empty unless the entry is a second name
};

// The first line of every manifest.
constexpr const char* MANIFEST_HEADER = "# zvk entry types: TYPE<TAB>PATH[<TAB>LINK TARGET]\n";

// The text of one manifest line, with its newline.
std::string manifest_format(const ManifestLine& line);
// Read one line (without its newline) from the manifest text in text: true
// and *out set for an entry line, false for a comment or a malformed line.
bool manifest_parse(std::string_view text, ManifestLine* out);
