#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "console.h"
#include "dircmd.h"
#include "entry.h"
#include "path.h"
#include "shell.h"

namespace {

// Owns a host file descriptor for the length of one command.
struct HostFile {
    int fd = -1;
    explicit HostFile(int f) : fd(f) {}
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;
    ~HostFile() {
        if (fd >= 0) ::close(fd);
    }
};

// Read until len bytes are in or the file ends: the number of bytes read,
// or -1 on an error.
std::int64_t read_all(int fd, std::uint8_t* buf, std::uint64_t len) {
    std::uint64_t done = 0;
    while (done < len) {
        ssize_t r = ::read(fd, buf + done, static_cast<std::size_t>(len - done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<std::uint64_t>(r);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t write_all(int fd, const std::uint8_t* buf, std::uint64_t len) {
    std::uint64_t done = 0;
    while (done < len) {
        ssize_t r = ::write(fd, buf + done, static_cast<std::size_t>(len - done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<std::uint64_t>(r);
    }
    return static_cast<std::int64_t>(done);
}

// The content of a new file, written along its new chain before the file's
// entry is stored. move gets the chain's runs and returns 0, -1 (a block
// could not be written), -3 (the data could not be read) or -4 (no memory).
// When the chain fails part way, the blocks before the failure still get
// their data, as a write block by block would have given them.
template <class Move>
ChainFill stream_fill(Fs& fs, std::uint64_t blocks, Move move) {
    return [&fs, blocks, move](std::uint64_t start, std::uint64_t contiguous) {
        std::vector<BlockRun> runs;
        const int mapped = chain_map(fs.vol, start, contiguous, blocks, Direction::write, runs);
        const int moved = move(runs);
        if (mapped == 0 && moved == 0) return 0;
        err_print(moved == -3   ? "error: can't read file.\n"
                  : moved == -4 ? "error: can't allocate buffer.\n"
                                : "error: can't write file.\n");
        return -1;
    };
}

// Open a host file for reading: the descriptor, or -1 (reported).
int open_import(const char* host_path) {
    int fd;
    do {
        fd = ::open(host_path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) err_print("error: can't open file `%s'.\n", host_path);
    return fd;
}

// Largest part of an import read before anything on the volume changes.
constexpr std::uint64_t IMPORT_PROBE = 1024 * 1024;

}  // namespace

void import_host_file(Fs& fs, const char* host_path, const char* volume_name, std::uint8_t type, bool os) {
    struct stat st;
    if (::stat(host_path, &st) != 0) {
        err_print("error: can't read size of input-file.\n");
        return;
    }
    const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::uint64_t blocks = (size + BLOCK_SIZE - 1) / BLOCK_SIZE;

    // A file beyond the largest size is refused by the creation step, so it
    // is never read. The first part of any other is read before the volume
    // changes, so a file that cannot be read (a directory) changes nothing;
    // the data then streams from the file to the blocks.
    HostFile in(-1);
    if (blocks <= MAX_FILE_BLOCKS) {
        in.fd = open_import(host_path);
        if (in.fd < 0) return;
        const std::uint64_t probe = std::min(size, IMPORT_PROBE);
        std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(probe) + 1]);
        if (!buf) {
            err_print("error: can't allocate buffer.\n");
            return;
        }
        if (read_all(in.fd, buf.get(), probe) != static_cast<std::int64_t>(probe)) {
            err_print("error: can't read file.\n");
            return;
        }
    }

    const ChainFill fill = stream_fill(fs, blocks, [&fs, &in, size](const std::vector<BlockRun>& runs) {
        return runs_from_host(fs.vol, runs, in.fd, size);
    });
    int e = os ? create_os_file(fs, volume_name, blocks, fill) : create_typed_file(fs, volume_name, type, blocks, fill);
    if (e < 0 && e != -13) err_print("error: can't create file.\n");
}

int create_typed_file(Fs& fs, const char* name, std::uint8_t type, std::uint64_t blocks, const ChainFill& fill) {
    if (type == TYPE_EMPTY || type == TYPE_SUBDIR || type == TYPE_PARENT || type == TYPE_OS) {
        err_print("error: invalid type.\n");
        return -11;
    }
    return wd_create(fs, folder_free_slot(fs.wd), entry_new(fs, name, type, blocks, blocks, 1), fill);
}

int create_os_file(Fs& fs, const char* name, std::uint64_t blocks, const ChainFill& fill) {
    if (dir_reset_root(fs) != 0) {
        err_print("error: can't change to root-directory.\n");
        return -11;
    }
    if (entry_type(folder_entry(fs.wd, 0)) != TYPE_EMPTY) {
        err_print("error: os place not empty.\n");
        return -12;
    }
    return wd_create(fs, 0, entry_new(fs, name, TYPE_OS, blocks, blocks, 1), fill);
}

int dir_find_free_from(const Fs& fs, std::uint32_t n) {
    if (n > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return -1;
    }
    for (std::uint32_t i = n; i <= MAX_ENTRY_NR; ++i)
        if (entry_type(folder_entry(fs.wd, static_cast<int>(i))) == TYPE_EMPTY) return static_cast<int>(i);
    return -2;
}

void cmd_cp(Fs& fs, int n, const char* name) {
    if (n < 0 || n > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("error: invalid filenr.\n");
        return;
    }
    const std::uint8_t* src = folder_entry(fs.wd, n);
    const std::uint8_t type = entry_type(src);
    switch (type) {
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return;
    case TYPE_SUBDIR:
    case TYPE_PARENT: err_print("error: not allowed to copy directory.\n"); return;
    case TYPE_OS: err_print("warning: OS file.\n"); break;
    default: break;
    }
    const std::uint64_t size = entry_size(src);
    // The source chain is followed and checked as a read would; its blocks
    // are then copied run by run into the new file's.
    std::vector<BlockRun> from;
    if (chain_map(fs.vol, entry_start(src), entry_contiguous(src), size, Direction::read, from) != 0) {
        err_print("error: can't read file.\n");
        return;
    }
    const int slot = dir_find_free_from(fs, 1);
    const ChainFill fill = stream_fill(fs, size, [&fs, &from](const std::vector<BlockRun>& to) {
        const int r = runs_copy(fs.vol, from, to);
        return r == -1 ? -3 : r;
    });
    const int e = wd_create(fs, slot, entry_new(fs, name, type, size, size, 1), fill);
    if (e < 0 && e != -13) err_print("error: can't create new file.\n");
}

namespace {

// Open the host file of get: created 0644, an existing regular file cut
// first so it holds exactly the export. The descriptor, or -1 (reported).
int open_export(const char* host_path) {
    int fd;
    do {
        fd = ::open(host_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err_print("error: can't open file `%s'.\n", host_path);
        return -1;
    }
    // An empty file is left alone: cutting it changes nothing, and on some
    // file systems makes its close wait for the data written after it.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
        err_print("error: not all data saved.\n");
        ::close(fd);
        return -1;
    }
    return fd;
}

// get of a directory or parent link: its two blocks through memory.
void get_directory(Fs& fs, const std::uint8_t* e, const char* host_path) {
    DirImage buf{};
    int r;
    if (entry_type(e) == TYPE_PARENT) {
        // The parent directory, read the way a working directory is loaded.
        r = dir_transfer(fs, buf.data(), entry_start(e), Direction::read);
    } else {
        r = chain_transfer(fs.vol, buf.data(), entry_start(e), entry_contiguous(e), 2, Direction::read);
    }
    if (r != 0) {
        err_print("error: can't read file.\n");
        return;
    }
    HostFile out(open_export(host_path));
    if (out.fd < 0) return;
    if (write_all(out.fd, buf.data(), DIR_SIZE) != static_cast<std::int64_t>(DIR_SIZE))
        err_print("error: not all data saved.\n");
}

}  // namespace

void cmd_get(Fs& fs, int n, const char* host_path) {
    if (n < 0 || n > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("error: invalid filenr.\n");
        return;
    }
    const std::uint8_t* e = folder_entry(fs.wd, n);
    const std::uint8_t type = entry_type(e);
    if (type == TYPE_SUBDIR || type == TYPE_PARENT) {
        get_directory(fs, e, host_path);
        return;
    }
    // The chain is followed and checked first, as a read into memory would,
    // then its blocks stream to the host file.
    std::vector<BlockRun> runs;
    if (chain_map(fs.vol, entry_start(e), entry_contiguous(e), entry_size(e), Direction::read, runs) != 0) {
        err_print("error: can't read file.\n");
        return;
    }
    HostFile out(open_export(host_path));
    if (out.fd < 0) return;
    const int r = runs_to_host(fs.vol, runs, out.fd);
    if (r == -1) err_print("error: can't read file.\n");
    if (r == -2) err_print("error: not all data saved.\n");
    if (r == -4) err_print("error: can't allocate buffer.\n");
}
