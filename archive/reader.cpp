// ArchiveReader: entries out of libarchive, from a file read at its own
// offsets (so a second reader can find the zip manifest in the same file)
// or from a stream.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "archive/archive.h"
#include "archive_internal.h"

namespace {

constexpr std::size_t FIRST_READ = 4096;          // after a seek: a header is near
constexpr std::size_t LARGEST_READ = 1024 * 1024;  // sequential reads grow to this

// One libarchive handle's view of the input: its own offset in a seekable
// file, or the stream with the bytes read ahead to tell a zip.
struct Input {
    int fd = -1;
    bool seekable = false;
    std::int64_t base = 0;  // offset of the archive in the file
    std::int64_t size = 0;  // bytes of the archive in the file
    std::int64_t pos = 0;
    ArchiveSource source;
    std::vector<std::uint8_t> head;  // stream: read ahead, handed out first
    bool head_given = false;
    std::vector<std::uint8_t> buf;
    std::size_t chunk = FIRST_READ;
};

la_ssize_t input_read(struct archive* a, void* client, const void** out) {
    auto* in = static_cast<Input*>(client);
    if (!in->head_given && !in->head.empty()) {
        in->head_given = true;
        *out = in->head.data();
        return static_cast<la_ssize_t>(in->head.size());
    }
    in->buf.resize(in->chunk);
    ssize_t n;
    if (in->seekable) {
        do n = ::pread(in->fd, in->buf.data(), in->chunk, in->base + in->pos);
        while (n < 0 && errno == EINTR);
    } else {
        n = in->source(in->buf.data(), in->chunk);
    }
    if (n < 0) {
        if (in->seekable) archive_set_error(a, errno, "reading the archive failed: %s", std::strerror(errno));
        else archive_set_error(a, EIO, "reading the archive failed");
        return -1;
    }
    in->pos += n;
    in->chunk = in->chunk * 2 > LARGEST_READ ? LARGEST_READ : in->chunk * 2;
    *out = in->buf.data();
    return n;
}

la_int64_t input_skip(struct archive*, void* client, la_int64_t request) {
    auto* in = static_cast<Input*>(client);
    if (!in->seekable || request <= 0) return 0;
    const la_int64_t left = in->size - in->pos;
    const la_int64_t n = request < left ? request : (left > 0 ? left : 0);
    in->pos += n;
    in->chunk = FIRST_READ;
    return n;
}

la_int64_t input_seek(struct archive*, void* client, la_int64_t offset, int whence) {
    auto* in = static_cast<Input*>(client);
    const la_int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? in->pos : in->size;
    if (from + offset < 0) return ARCHIVE_FATAL;
    in->pos = from + offset;
    in->chunk = FIRST_READ;
    return in->pos;
}

// A libarchive reader over in, not yet past the first header: nullptr with
// *why.
struct archive* open_handle(Input* in, std::string* why) {
    struct archive* a = archive_read_new();
    if (!a) {
        *why = "out of memory";
        return nullptr;
    }
    // Explicit formats: some others (mtree) read host files an archive names.
    archive_read_support_format_tar(a);
    archive_read_support_format_zip(a);
    archive_read_support_format_7zip(a);
    archive_read_support_format_cpio(a);
    archive_read_support_format_empty(a);
    for (auto add : {archive_read_support_filter_gzip, archive_read_support_filter_bzip2, archive_read_support_filter_xz,
                     archive_read_support_filter_lzma, archive_read_support_filter_lzip, archive_read_support_filter_zstd,
                     archive_read_support_filter_lz4, archive_read_support_filter_compress})
        add(a);
    archive_read_set_read_callback(a, input_read);
    archive_read_set_skip_callback(a, input_skip);
    if (in->seekable) archive_read_set_seek_callback(a, input_seek);
    archive_read_set_callback_data(a, in);
    if (archive_read_open1(a) != ARCHIVE_OK) {
        *why = std::string("not an archive this program reads: ") + archive_reason(a);
        archive_read_free(a);
        return nullptr;
    }
    return a;
}

// What a non-file, non-folder entry is.
const char* unsupported_kind(unsigned filetype) {
    switch (filetype) {
    case AE_IFLNK: return "symbolic link";
    case AE_IFCHR: return "character device";
    case AE_IFBLK: return "block device";
    case AE_IFIFO: return "FIFO";
    case AE_IFSOCK: return "socket";
    default: return "entry of an unknown kind";
    }
}

// The type in the entry's attribute: 0 when absent, -1 when unreadable.
int xattr_type(struct archive_entry* e) {
    const char* name;
    const void* value;
    size_t size;
    archive_entry_xattr_reset(e);
    while (archive_entry_xattr_next(e, &name, &value, &size) == ARCHIVE_OK) {
        if (std::strcmp(name, ZVK_TYPE_XATTR) == 0) return type_parse({static_cast<const char*>(value), size});
    }
    return 0;
}

// One line of the text of f, without its newline: false at its end.
bool read_line(std::FILE* f, std::string* line) {
    line->clear();
    int c;
    while ((c = std::getc(f)) != EOF && c != '\n') *line += static_cast<char>(c);
    return c != EOF || !line->empty();
}

}  // namespace

struct ArchiveReader::Impl {
    UniqueFd owned;  // the file open(path) opened
    Input input;
    struct archive* a = nullptr;
    struct archive_entry* current = nullptr;
    int first = INT_MIN;  // status of the header read by open, until next() takes it
    bool zip = false;
    std::FILE* manifest = nullptr;  // zip: the manifest text, read along with the entries
    bool readable = false;          // the current entry has data for read()
    std::string error;

    ~Impl() {
        if (a) archive_read_free(a);
        if (manifest) std::fclose(manifest);
    }
    int fail(std::string why) {
        error = std::move(why);
        return -1;
    }
    int start();
    int open_stream();
    int load_manifest();
    int copy_manifest(struct archive* b);
    bool manifest_scan(const std::string& path, ManifestLine* out, long limit);
    bool manifest_find(const std::string& path, ManifestLine* out);
    ArchiveNext describe(ArchiveEntry* out);
    ArchiveNext apply_manifest(ArchiveEntry* out);
};

// Open libarchive and read the first header, which tells a zip.
int ArchiveReader::Impl::start() {
    if (a) return fail("the reader is already open");
    a = open_handle(&input, &error);
    if (!a) return -1;
    first = archive_read_next_header(a, &current);
    zip = first >= ARCHIVE_WARN && first != ARCHIVE_EOF &&
          (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP;
    return zip && input.seekable ? load_manifest() : 0;
}

// A stream: read ahead far enough to tell a zip, which is copied to a
// temporary file and read from there; anything else is read as it comes.
int ArchiveReader::Impl::open_stream() {
    input.head.resize(FIRST_READ);
    std::size_t have = 0;
    long n = 1;
    while (have < 4 && (n = input.source(input.head.data() + have, input.head.size() - have)) > 0)
        have += static_cast<std::size_t>(n);
    if (n < 0) return fail("reading the archive failed");
    input.head.resize(have);
    if (have < 4 || std::memcmp(input.head.data(), "PK", 2) != 0) return start();
    if (anonymous_file(&owned, &error) != 0) return -1;
    std::vector<std::uint8_t> buf(LARGEST_READ);
    std::int64_t total = static_cast<std::int64_t>(have);
    if (write_all(owned.get(), input.head.data(), have, &error) != 0) return fail("copying the zip: " + error);
    while ((n = input.source(buf.data(), buf.size())) > 0) {
        if (write_all(owned.get(), buf.data(), static_cast<std::size_t>(n), &error) != 0)
            return fail("copying the zip: " + error);
        total += n;
    }
    if (n < 0) return fail("reading the archive failed");
    input = Input{};
    input.fd = owned.get();
    input.seekable = true;
    input.size = total;
    return start();
}

// Copy the data of b's current entry into a new manifest file: 0 or -1.
int ArchiveReader::Impl::copy_manifest(struct archive* b) {
    UniqueFd fd;
    if (anonymous_file(&fd, &error) != 0) return -1;
    manifest = ::fdopen(fd.get(), "w+");
    if (!manifest) return fail(std::string("manifest of types: ") + std::strerror(errno));
    fd.release();
    std::vector<char> buf(64 * 1024);
    la_ssize_t n;
    while ((n = archive_read_data(b, buf.data(), buf.size())) > 0) {
        if (std::fwrite(buf.data(), 1, static_cast<std::size_t>(n), manifest) != static_cast<std::size_t>(n))
            return fail(std::string("manifest of types: ") + std::strerror(errno));
    }
    if (n < 0) return fail(std::string("reading the manifest of types failed: ") + archive_reason(b));
    std::rewind(manifest);
    return 0;
}

// zip: copy the manifest, if there is one, out of the archive through a
// second handle on the same file.
int ArchiveReader::Impl::load_manifest() {
    Input in = input;
    in.pos = 0;
    in.chunk = FIRST_READ;
    struct archive* b = open_handle(&in, &error);
    if (!b) return -1;
    struct archive_entry* e;
    int r, result = 0;
    while ((r = archive_read_next_header(b, &e)) >= ARCHIVE_WARN && r != ARCHIVE_EOF) {
        const char* name = archive_entry_pathname(e);
        if (name && std::strcmp(name, ZVK_TYPES_MANIFEST) == 0) {
            result = copy_manifest(b);
            break;
        }
    }
    if (r < ARCHIVE_WARN) result = fail(std::string("reading the manifest of types failed: ") + archive_reason(b));
    archive_read_free(b);
    return result;
}

// Look for path in the manifest from where it stands up to offset limit.
bool ArchiveReader::Impl::manifest_scan(const std::string& path, ManifestLine* out, long limit) {
    std::string text;
    while (std::ftell(manifest) < limit && read_line(manifest, &text)) {
        if (manifest_parse(text, out) && out->path == path) return true;
    }
    return false;
}

// The manifest line of path: the next line when the entries are in the
// order the writer wrote them, else found from there round to there.
bool ArchiveReader::Impl::manifest_find(const std::string& path, ManifestLine* out) {
    const long start = std::ftell(manifest);
    if (manifest_scan(path, out, LONG_MAX)) return true;
    std::rewind(manifest);
    if (manifest_scan(path, out, start)) return true;
    std::fseek(manifest, start, SEEK_SET);
    return false;
}

ArchiveNext ArchiveReader::Impl::apply_manifest(ArchiveEntry* out) {
    ManifestLine line;
    if (!manifest || !manifest_find(out->path, &line)) return ArchiveNext::entry;
    out->type = line.type;
    if (line.target.empty() || out->kind != ArchiveKind::file) return ArchiveNext::entry;
    std::string why;
    if (clean_archive_path(line.target, false, &out->target, &why) != 0) {
        out->target.clear();
        out->note = "the link recorded for it is unusable (" + why + "); read as a file";
        return ArchiveNext::entry;
    }
    out->kind = ArchiveKind::link;
    return ArchiveNext::entry;
}

// Fill *out from the current header.
ArchiveNext ArchiveReader::Impl::describe(ArchiveEntry* out) {
    const char* raw = archive_entry_pathname(current);
    const char* link = archive_entry_hardlink(current);
    const unsigned filetype = archive_entry_filetype(current);
    *out = ArchiveEntry{};
    out->path = raw ? raw : "";
    out->kind = link ? ArchiveKind::link
                : filetype == AE_IFREG ? ArchiveKind::file
                : filetype == AE_IFDIR ? ArchiveKind::folder
                : ArchiveKind::unsupported;
    std::string clean, why;
    const int c = clean_archive_path(out->path, out->kind == ArchiveKind::folder, &clean, &why);
    // (c is 1 for the top folder, which next() has passed over.)
    if (c != 0) return fail(out->path + ": refused: " + why), ArchiveNext::refused;
    if (link && clean_archive_path(link, false, &out->target, &why) != 0)
        return fail(out->path + ": refused: its link target " + link + ": " + why), ArchiveNext::refused;
    out->path = clean;
    out->size = out->kind == ArchiveKind::folder         ? 0
                : archive_entry_size_is_set(current) != 0 ? archive_entry_size(current)
                                                          : -1;
    if (out->kind == ArchiveKind::unsupported) {
        out->note = unsupported_kind(filetype);
        const char* to = archive_entry_symlink(current);
        if (filetype == AE_IFLNK && to) out->target = to;
        out->size = 0;
    }
    readable = out->kind == ArchiveKind::file || out->kind == ArchiveKind::link;
    out->type = xattr_type(current);
    if (out->type < 0) {
        out->type = 0;
        out->note = "its type attribute is not a number 0-255";
    }
    return manifest ? apply_manifest(out) : ArchiveNext::entry;
}

ArchiveReader::ArchiveReader() : impl_(std::make_unique<Impl>()) {}
ArchiveReader::~ArchiveReader() = default;

int ArchiveReader::open(const std::string& path) {
    Impl& r = *impl_;
    if (r.a) return r.fail("the reader is already open");
    r.owned.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (r.owned.get() < 0) return r.fail(path + ": " + std::strerror(errno));
    if (open_fd(r.owned.get()) == 0) return 0;
    r.error = path + ": " + r.error;
    return -1;
}

int ArchiveReader::open_fd(int fd) {
    Impl& r = *impl_;
    struct stat st {};
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && at >= 0) {
        r.input.fd = fd;
        r.input.seekable = true;
        r.input.base = at;
        r.input.size = st.st_size - at;
        return r.start();
    }
    return open_source([fd](void* buf, std::size_t n) -> long {
        ssize_t got;
        do got = ::read(fd, buf, n);
        while (got < 0 && errno == EINTR);
        return got;
    });
}

int ArchiveReader::open_source(ArchiveSource source) {
    Impl& r = *impl_;
    if (r.a) return r.fail("the reader is already open");
    r.input.source = std::move(source);
    return r.open_stream();
}

ArchiveNext ArchiveReader::next(ArchiveEntry* entry) {
    Impl& r = *impl_;
    r.readable = false;
    if (!r.a) return r.fail("the reader is not open"), ArchiveNext::failed;
    for (;;) {
        int status = r.first;
        r.first = INT_MIN;
        if (status == INT_MIN) status = archive_read_next_header(r.a, &r.current);
        if (status == ARCHIVE_EOF) return ArchiveNext::end;
        if (status == ARCHIVE_FATAL) return r.fail(archive_reason(r.a)), ArchiveNext::failed;
        const char* raw = archive_entry_pathname(r.current);
        if (status < ARCHIVE_WARN) {
            *entry = ArchiveEntry{};
            entry->path = raw ? raw : "";
            return r.fail(entry->path + ": refused: " + archive_reason(r.a)), ArchiveNext::refused;
        }
        if (r.zip && raw && std::strcmp(raw, ZVK_TYPES_MANIFEST) == 0) continue;
        const char* link = archive_entry_hardlink(r.current);
        if (archive_entry_filetype(r.current) == AE_IFDIR && !link && raw) {
            std::string clean, why;
            if (clean_archive_path(raw, true, &clean, &why) == 1) continue;  // the top folder
        }
        return r.describe(entry);
    }
}

long ArchiveReader::read(void* buf, std::size_t n) {
    Impl& r = *impl_;
    if (!r.readable) return 0;
    const la_ssize_t got = archive_read_data(r.a, buf, n);
    if (got < 0) return r.fail(archive_reason(r.a));
    return static_cast<long>(got);
}

const std::string& ArchiveReader::error() const { return impl_->error; }
