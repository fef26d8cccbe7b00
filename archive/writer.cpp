// ArchiveWriter: entries into libarchive, which sends the archive to a
// temporary file renamed into place, a descriptor or a sink.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "archive/archive.h"
#include "archive_internal.h"

namespace {

constexpr std::size_t PIECE = 64 * 1024;  // file data passed on at a time

// The temporary name of an archive written beside path.
std::string temporary_name(const std::string& path, unsigned attempt) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long tag = static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(::getpid()) << 20);
    return path.substr(0, base) + "." + path.substr(base) + ".part-" + std::to_string(tag + attempt);
}

}  // namespace

struct ArchiveWriter::Impl {
    ArchiveFormat format = ArchiveFormat::tar;
    std::int64_t mtime = 0;
    struct archive* a = nullptr;
    struct archive_entry* entry = nullptr;
    ArchiveSink sink;
    UniqueFd file;             // the archive written by open(path)
    std::string final_path;    // where close() renames it, or "" when written in place
    std::string temp_path;
    bool replacing = false;    // final_path exists: make the new one durable first
    UniqueFd manifest;         // zip: the manifest lines, kept out of memory
    std::uint64_t manifest_size = 0;
    std::vector<std::uint8_t> piece = std::vector<std::uint8_t>(PIECE);
    std::string error;
    bool failed = false;
    bool closed = false;
    bool in_manifest = false;  // writing the zip manifest itself

    ~Impl() { abandon(); }
    int fail(std::string why);
    int start(ArchiveFormat f, const ArchiveWriteOptions& options);
    int set_format();
    int record(std::string_view path, std::string_view target, int type);
    int header(std::string_view path, unsigned filetype, std::uint64_t size, int type, std::string_view hardlink);
    int data(std::string_view path, std::uint64_t size, const ArchiveData& source);
    int write_manifest();
    int finish_file();
    void abandon();
};

int ArchiveWriter::Impl::fail(std::string why) {
    if (!failed) error = std::move(why);
    failed = true;
    return -1;
}

// libarchive's write callback: the bytes go to the sink. Once anything has
// failed they go nowhere, so that a receiver never gets an end of archive
// after a failure. libarchive is not told of a failed sink: after an output
// error it would not free what it holds for the output.
static la_ssize_t write_to_sink(struct archive*, void* client, const void* buf, size_t n) {
    auto* w = static_cast<ArchiveWriter::Impl*>(client);
    if (!w->failed && !w->sink(buf, n)) w->fail("the receiver of the archive stopped taking it");
    return static_cast<la_ssize_t>(n);
}

int ArchiveWriter::Impl::set_format() {
    int r = ARCHIVE_OK;
    if (format == ArchiveFormat::zip) {
        r = archive_write_set_format_zip(a);
        return r == ARCHIVE_OK ? anonymous_file(&manifest, &error) : r;
    }
    r = archive_write_set_format_pax_restricted(a);
    // Only the SCHILY.xattr form of the type, which every pax reader knows;
    // tar warns about the LIBARCHIVE.xattr one at every entry.
    if (r == ARCHIVE_OK) r = archive_write_set_format_option(a, "pax", "xattrheader", "SCHILY");
    if (r == ARCHIVE_OK && format == ArchiveFormat::tar_gz) {
        r = archive_write_add_filter_gzip(a);
        if (r == ARCHIVE_OK) r = archive_write_set_filter_option(a, "gzip", "timestamp", nullptr);
    }
    if (r == ARCHIVE_OK && format == ArchiveFormat::tar_zst) r = archive_write_add_filter_zstd(a);
    return r;
}

int ArchiveWriter::Impl::start(ArchiveFormat f, const ArchiveWriteOptions& options) {
    if (a) return fail("the writer is already open");
    format = f;
    mtime = options.mtime;
    a = archive_write_new();
    entry = archive_entry_new();
    if (!a || !entry) return fail("out of memory");
    if (set_format() != ARCHIVE_OK) return fail(error.empty() ? archive_reason(a) : error);
    // Plain tar is padded to a whole record as tar pads it; nothing may follow
    // a compressed stream or the end of a zip.
    if (options.block_bytes > 0) archive_write_set_bytes_per_block(a, static_cast<int>(options.block_bytes));
    if (format != ArchiveFormat::tar) archive_write_set_bytes_in_last_block(a, 1);
    else if (options.block_bytes > 0) archive_write_set_bytes_in_last_block(a, 10240);
    if (archive_write_open2(a, this, nullptr, write_to_sink, nullptr, nullptr) != ARCHIVE_OK)
        return fail(archive_reason(a));
    if (manifest.get() >= 0) {
        manifest_size = std::strlen(MANIFEST_HEADER);
        if (write_all(manifest.get(), MANIFEST_HEADER, manifest_size, &error) != 0) return fail(error);
    }
    return 0;
}

// zip: note the entry's type and link in the manifest. Every entry has its
// line, untyped ones too, so the reader finds each at the next line.
int ArchiveWriter::Impl::record(std::string_view path, std::string_view target, int type) {
    if (format != ArchiveFormat::zip || in_manifest) return 0;
    const std::string line = manifest_format({type, std::string(path), std::string(target)});
    std::string why;
    if (write_all(manifest.get(), line.data(), line.size(), &why) != 0) return fail("manifest: " + why);
    manifest_size += line.size();
    return 0;
}

int ArchiveWriter::Impl::header(std::string_view path, unsigned filetype, std::uint64_t size, int type,
                                std::string_view hardlink) {
    if (failed) return -1;
    if (!a || closed) return fail("the writer is not open");
    std::string problem = writer_path_problem(path);
    if (problem.empty() && !hardlink.empty()) problem = writer_path_problem(hardlink);
    if (problem.empty() && format == ArchiveFormat::zip && path == ZVK_TYPES_MANIFEST && !in_manifest)
        problem = "name reserved for the manifest of types";
    if (!problem.empty()) return fail(std::string(path) + ": " + problem);
    if (type < 0 || type > 255) return fail(std::string(path) + ": type " + std::to_string(type) + " is not 0-255");
    archive_entry_clear(entry);
    archive_entry_copy_pathname(entry, std::string(path).c_str());
    archive_entry_set_filetype(entry, filetype);
    archive_entry_set_perm(entry, filetype == AE_IFDIR ? 0755 : 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(size));
    archive_entry_set_mtime(entry, static_cast<time_t>(mtime), 0);
    if (format != ArchiveFormat::zip && !hardlink.empty()) archive_entry_copy_hardlink(entry, std::string(hardlink).c_str());
    const std::string text = type_text(type);
    if (format != ArchiveFormat::zip && type != 0) archive_entry_xattr_add_entry(entry, ZVK_TYPE_XATTR, text.data(), text.size());
    if (record(path, hardlink, type) != 0) return -1;
    // WARN: a name that is not text in the locale, kept as raw bytes.
    if (archive_write_header(a, entry) < ARCHIVE_WARN)
        return fail(std::string(path) + ": " + archive_reason(a));
    return failed ? -1 : 0;
}

int ArchiveWriter::Impl::data(std::string_view path, std::uint64_t size, const ArchiveData& source) {
    std::uint64_t done = 0;
    while (done < size) {
        const std::size_t want = size - done < piece.size() ? static_cast<std::size_t>(size - done) : piece.size();
        const long got = source ? source(piece.data(), want) : -1;
        if (got <= 0 || static_cast<std::size_t>(got) > want)
            return fail(std::string(path) + ": reading its data failed after " + std::to_string(done) + " of " +
                        std::to_string(size) + " bytes");
        for (long off = 0; off < got;) {
            const la_ssize_t n = archive_write_data(a, piece.data() + off, static_cast<std::size_t>(got - off));
            if (n <= 0) return fail(std::string(path) + ": " + archive_reason(a));
            if (failed) return -1;
            off += n;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return 0;
}

int ArchiveWriter::Impl::write_manifest() {
    if (manifest.get() < 0 || manifest_size == std::strlen(MANIFEST_HEADER)) return 0;
    in_manifest = true;
    if (header(ZVK_TYPES_MANIFEST, AE_IFREG, manifest_size, 0, {}) != 0) return -1;
    off_t at = 0;
    const int fd = manifest.get();
    const ArchiveData lines = [fd, &at](std::uint8_t* buf, std::size_t n) -> long {
        const ssize_t got = ::pread(fd, buf, n, at);
        if (got > 0) at += got;
        return got;
    };
    return data(ZVK_TYPES_MANIFEST, manifest_size, lines);
}

// The written file: durable when it replaces one, then renamed into place.
int ArchiveWriter::Impl::finish_file() {
    if (replacing && ::fsync(file.get()) != 0) return fail(final_path + ": " + std::strerror(errno));
    if (::close(file.release()) != 0) return fail(final_path + ": " + std::strerror(errno));
    if (temp_path.empty()) return 0;
    if (::rename(temp_path.c_str(), final_path.c_str()) != 0) return fail(final_path + ": " + std::strerror(errno));
    temp_path.clear();
    return 0;
}

void ArchiveWriter::Impl::abandon() {
    if (a) {
        if (!closed) failed = true;  // no end of archive to a sink that may be gone
        archive_write_free(a);
        a = nullptr;
    }
    if (entry) archive_entry_free(entry);
    entry = nullptr;
    if (!temp_path.empty()) ::unlink(temp_path.c_str());
    temp_path.clear();
}

ArchiveWriter::ArchiveWriter() : impl_(std::make_unique<Impl>()) {}
ArchiveWriter::~ArchiveWriter() = default;

int ArchiveWriter::open(const std::string& path, const ArchiveWriteOptions& options) {
    Impl& w = *impl_;
    if (w.a) return w.fail("the writer is already open");
    ArchiveFormat f;
    std::string why;
    if (format_for_archive_name(path, &f, &why) != 0) return w.fail(why);
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return w.fail(path + ": is a folder");
    if (exists && !S_ISREG(st.st_mode)) {
        w.file.reset(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    } else {
        for (unsigned attempt = 0; w.file.get() < 0 && attempt < 100; ++attempt) {
            w.temp_path = temporary_name(path, attempt);
            w.file.reset(::open(w.temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (w.file.get() < 0 && errno != EEXIST) break;
        }
        if (w.file.get() < 0) w.temp_path.clear();
    }
    if (w.file.get() < 0) return w.fail(path + ": " + std::strerror(errno));
    w.final_path = path;
    w.replacing = exists && S_ISREG(st.st_mode);
    return open_fd(w.file.get(), f, options);
}

int ArchiveWriter::open_fd(int fd, ArchiveFormat format, const ArchiveWriteOptions& options) {
    Impl& w = *impl_;
    w.sink = [&w, fd](const void* data, std::size_t n) {
        std::string why;
        if (write_all(fd, data, n, &why) == 0) return true;
        w.fail((w.final_path.empty() ? "archive" : w.final_path) + ": " + why);
        return false;
    };
    return w.start(format, options);
}

int ArchiveWriter::open_sink(ArchiveSink sink, ArchiveFormat format, const ArchiveWriteOptions& options) {
    impl_->sink = std::move(sink);
    return impl_->start(format, options);
}

int ArchiveWriter::add_folder(std::string_view path, int type) {
    return impl_->header(path, AE_IFDIR, 0, type, {});
}

int ArchiveWriter::add_file(std::string_view path, int type, std::uint64_t size, const ArchiveData& data) {
    if (impl_->header(path, AE_IFREG, size, type, {}) != 0) return -1;
    return impl_->data(path, size, data);
}

int ArchiveWriter::add_link(std::string_view path, std::string_view target, int type, std::uint64_t size,
                            const ArchiveData& data) {
    if (target.empty()) return impl_->fail(std::string(path) + ": link without a target");
    if (!links_carry_data()) return impl_->header(path, AE_IFREG, 0, type, target);
    if (impl_->header(path, AE_IFREG, size, type, target) != 0) return -1;
    return impl_->data(path, size, data);
}

bool ArchiveWriter::links_carry_data() const { return impl_->format == ArchiveFormat::zip; }

int ArchiveWriter::close() {
    Impl& w = *impl_;
    if (w.failed) return -1;
    if (!w.a || w.closed) return w.fail("the writer is not open");
    if (w.write_manifest() != 0) return -1;
    w.closed = true;
    if (archive_write_close(w.a) != ARCHIVE_OK) return w.fail(archive_reason(w.a));
    if (w.failed) return -1;
    return w.file.get() >= 0 ? w.finish_file() : 0;
}

const std::string& ArchiveWriter::error() const { return impl_->error; }
