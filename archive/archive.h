// Archives of a folder tree: tar (plain, gzip, zstd) and zip, written and
// read through libarchive, one entry at a time, so that neither side holds
// more than a piece of one file (64 KiB) whatever the size of the tree.
//
// Consumers include "archive/archive.h" (the folder is part of the name, so
// that this header never hides libarchive's own <archive.h>).
//
// Names. Every path is relative and '/'-separated, without a leading or
// trailing '/', and has no empty, "." or ".." component. The writer refuses
// any other path; the reader refuses such an entry with a reason (it accepts
// a leading "./", which tar writes for `tar -cf x.tar .`, and a trailing '/'
// on a folder, and drops the entry "." that stands for the top folder).
//
// Entry types. Each entry may carry a type 1-255 (0: none):
// - tar (pax): the extended attribute user.zvk.type, its value the type in
//   decimal text, written into the entry's pax header as the record
//   `SCHILY.xattr.user.zvk.type=3`. Reading also takes the
//   `LIBARCHIVE.xattr.user.zvk.type` form. `tar --xattrs -xf` onto a
//   mounted volume sets the same attribute zvkmount reads.
// - zip: a manifest entry `.zvk-types` at the end of the archive, never
//   returned as a file by the reader. Lines starting with '#' are comments;
//   every other line is TYPE<TAB>PATH or, for a second name of a file,
//   TYPE<TAB>PATH<TAB>TARGET (TYPE 0 for none), one line for every entry in
//   the order of the entries, with '\', tab, newline and carriage return in
//   a path written as \\, \t, \n and \r. The reader looks a line up by
//   its path, so a manifest that another program reordered still applies.
//
// Second names (hard links). tar stores a link entry without data that names
// its target, which must have been added before it. zip cannot: the data is
// stored again under the second name and the link recorded in the manifest,
// so the reader gives a link again and other unzip programs a plain copy.
//
// Reproducible output: folders 0755, files 0644, owner 0, one mtime for all
// entries (0 unless the caller gives one), no time in the gzip header.
//
// Errors are return codes; error() gives the reason, naming the entry. The
// first error of a writer stays: every later call fails, and nothing more
// reaches its output, so a receiver is left with a visibly cut archive,
// never one that looks complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

enum class ArchiveFormat { tar, tar_gz, tar_zst, zip };

// The name endings format_for_archive_name accepts, for messages.
constexpr const char* ZVK_ARCHIVE_ENDINGS = ".tar, .tar.gz, .tgz, .tar.zst, .tzst, .zip";
// The extended attribute that holds an entry's type in tar.
constexpr const char* ZVK_TYPE_XATTR = "user.zvk.type";
// The manifest of types and links in zip.
constexpr const char* ZVK_TYPES_MANIFEST = ".zvk-types";

// The format of an archive from the ending of its name (any case): 0 and
// *format set, or -1 with *why naming the accepted endings.
int format_for_archive_name(std::string_view name, ArchiveFormat* format, std::string* why);

// Check a path read from an archive: 0 and *clean set to its cleaned form,
// 1 for the top folder itself ("." or "./", *clean empty), or -1 with *why.
// folder: the entry is a folder, which may end in '/'.
int clean_archive_path(std::string_view raw, bool folder, std::string* clean, std::string* why);

// Takes the next n bytes of an archive being written (a socket, a pipe);
// false stops the export, and the writer reports it.
using ArchiveSink = std::function<bool(const void* data, std::size_t n)>;
// Gives up to n bytes of an archive being read: the count, 0 at its end, or
// -1 on an error.
using ArchiveSource = std::function<long(void* buf, std::size_t n)>;
// Fills buf with the next piece of a file's data, at most n bytes: the count
// (1..n), or -1 on an error. The writer asks exactly for the size it was
// given, piece by piece; a 0 before that is an error too.
using ArchiveData = std::function<long(std::uint8_t* buf, std::size_t n)>;

struct ArchiveWriteOptions {
    std::int64_t mtime = 0;  // seconds since 1970, of every entry
    // Bytes handed to the file or sink at a time (0: tar's 10,240); for a
    // multiple of 10,240 the archive's bytes are the same.
    std::size_t block_bytes = 0;
};

class ArchiveWriter {
public:
    ArchiveWriter();
    // Without a successful close(): the archive is abandoned (a path's
    // temporary file removed, nothing more sent to a sink).
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Write to path, in the format its name gives. The archive is written
    // beside it under a temporary name and renamed over path by close(), so a
    // failed export leaves no partial archive and an existing file is replaced
    // only by a complete one (made durable first). A path that exists and is
    // not a regular file (a FIFO, /dev/stdout) is written directly.
    int open(const std::string& path, const ArchiveWriteOptions& options = {});
    // Write to fd (the caller keeps and closes it) or to a sink.
    int open_fd(int fd, ArchiveFormat format, const ArchiveWriteOptions& options = {});
    int open_sink(ArchiveSink sink, ArchiveFormat format, const ArchiveWriteOptions& options = {});

    int add_folder(std::string_view path, int type);
    // A file of size bytes whose data comes from data.
    int add_file(std::string_view path, int type, std::uint64_t size, const ArchiveData& data);
    // A second name of the file added before as target. Only where
    // links_carry_data() (zip) is the data read again from data (size bytes);
    // tar does not call it, and data may be empty there.
    int add_link(std::string_view path, std::string_view target, int type, std::uint64_t size,
                 const ArchiveData& data);
    bool links_carry_data() const;

    // Finish the archive: 0, or -1 when it or anything before it failed.
    int close();
    const std::string& error() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

enum class ArchiveKind {
    file,
    folder,
    link,         // a second name of the file at target
    unsupported,  // symbolic link, device, FIFO, socket: note says which
};

struct ArchiveEntry {
    std::string path;  // cleaned; the raw name for a refused entry
    ArchiveKind kind = ArchiveKind::file;
    int type = 0;           // 1-255, 0 when the archive gives none
    std::int64_t size = 0;  // bytes read() gives; -1 when the archive does not say
    // link: the cleaned path of its target; a symbolic link: what it points to.
    std::string target;
    // What an unsupported entry is, or a remark on a usable one (an unreadable
    // type, which then is 0).
    std::string note;
};

enum class ArchiveNext {
    entry,    // *entry describes the next entry
    end,      // no more entries
    refused,  // this entry is unusable (error() says why); next() goes on
    failed,   // the archive cannot be read further (error() says why)
};

class ArchiveReader {
public:
    ArchiveReader();
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Formats: tar in all its forms, zip, 7z, cpio, each plain or compressed
    // with gzip, bzip2, xz, lzma, lzip, zstd, lz4 or compress, told apart by
    // their contents. 0 or -1.
    int open(const std::string& path);
    // fd is read from its current offset and stays the caller's. A pipe or
    // socket is streamed, except a zip, which is first copied to an unnamed
    // temporary file (its table of contents is at its end).
    int open_fd(int fd);
    // Streamed as a pipe would be.
    int open_source(ArchiveSource source);

    ArchiveNext next(ArchiveEntry* entry);
    // The next piece of the current entry's data: the count, 0 at its end, or
    // -1 on an error (the archive is damaged: stop reading it).
    long read(void* buf, std::size_t n);
    const std::string& error() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
