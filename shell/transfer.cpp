#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

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

// A zero-filled buffer of len bytes, or null when it cannot be had.
std::unique_ptr<std::uint8_t[]> buffer_alloc(std::uint64_t len) {
    if (len > SIZE_MAX) return nullptr;
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(len)]());
}

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

// The content of a new file: its blocks from buf, written along the new
// chain before the file's entry is stored.
ChainFill file_fill(Fs& fs, std::uint8_t* buf, std::uint64_t blocks) {
    return [&fs, buf, blocks](std::uint64_t start, std::uint64_t contiguous) {
        if (chain_transfer(fs.vol, buf, start, contiguous, blocks, Direction::write) != 0) {
            err_print("error: can't write file.\n");
            return -1;
        }
        return 0;
    };
}

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
    // is never read into memory.
    std::unique_ptr<std::uint8_t[]> buf;
    if (blocks <= MAX_FILE_BLOCKS) {
        buf = buffer_alloc(blocks * BLOCK_SIZE + (blocks == 0 ? 1 : 0));
        if (!buf) {
            err_print("error: can't allocate buffer.\n");
            return;
        }
        int fd;
        do {
            fd = ::open(host_path, O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            err_print("error: can't open file `%s'.\n", host_path);
            return;
        }
        HostFile in(fd);
        if (read_all(in.fd, buf.get(), size) != static_cast<std::int64_t>(size)) {
            err_print("error: can't read file.\n");
            return;
        }
    }

    const ChainFill fill = file_fill(fs, buf.get(), blocks);
    int e = os ? create_os_file(fs, volume_name, blocks, fill) : create_typed_file(fs, volume_name, type, blocks, fill);
    if (e < 0 && e != -13) err_print("error: can't create file.\n");
}

int create_typed_file(Fs& fs, const char* name, std::uint8_t type, std::uint64_t blocks, const ChainFill& fill) {
    if (type == TYPE_EMPTY || type == TYPE_SUBDIR || type == TYPE_PARENT || type == TYPE_OS) {
        err_print("error: invalid type.\n");
        return -11;
    }
    int slot = dir_find_free_slot(fs);
    return entry_create_filled(fs, name, type, blocks, blocks, 1, static_cast<std::uint32_t>(slot), fill);
}

int create_os_file(Fs& fs, const char* name, std::uint64_t blocks, const ChainFill& fill) {
    if (dir_reset_root(fs) != 0) {
        err_print("error: can't change to root-directory.\n");
        return -11;
    }
    if (entry_type(dir_entry(fs.wd.image, 0)) != TYPE_EMPTY) {
        err_print("error: os place not empty.\n");
        return -12;
    }
    return entry_create_filled(fs, name, TYPE_OS, blocks, blocks, 1, 0, fill);
}

int dir_find_free_from(const Fs& fs, std::uint32_t n) {
    if (n > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return -1;
    }
    for (std::uint32_t i = n; i <= MAX_ENTRY_NR; ++i)
        if (entry_type(dir_entry(fs.wd.image, i)) == TYPE_EMPTY) return static_cast<int>(i);
    return -2;
}

void cmd_cp(Fs& fs, int n, const char* name) {
    if (n < 0 || n > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("error: invalid filenr.\n");
        return;
    }
    const std::uint8_t* src = dir_entry(fs.wd.image, static_cast<std::size_t>(n));
    const std::uint8_t type = entry_type(src);
    switch (type) {
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return;
    case TYPE_SUBDIR:
    case TYPE_PARENT: err_print("error: not allowed to copy directory.\n"); return;
    case TYPE_OS: err_print("warning: OS file.\n"); break;
    default: break;
    }
    const std::uint64_t size = entry_size(src);
    auto buf = buffer_alloc(size * BLOCK_SIZE + (size == 0 ? 1 : 0));
    if (!buf) {
        err_print("error: can't allocate buffer.\n");
        return;
    }
    if (chain_transfer(fs.vol, buf.get(), entry_start(src), entry_contiguous(src), size, Direction::read) != 0) {
        err_print("error: can't read file.\n");
        return;
    }
    int slot = dir_find_free_from(fs, 1);
    int e = entry_create_filled(fs, name, type, size, size, 1, static_cast<std::uint32_t>(slot),
                                file_fill(fs, buf.get(), size));
    if (e < 0 && e != -13) err_print("error: can't create new file.\n");
}

void cmd_get(Fs& fs, int n, const char* host_path) {
    if (n < 0 || n > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("error: invalid filenr.\n");
        return;
    }
    const std::uint8_t* e = dir_entry(fs.wd.image, static_cast<std::size_t>(n));
    const std::uint8_t type = entry_type(e);
    const bool is_dir = type == TYPE_SUBDIR || type == TYPE_PARENT;
    const std::uint64_t length = is_dir ? DIR_SIZE : std::uint64_t{entry_size(e)} * BLOCK_SIZE;
    const std::uint64_t limit = is_dir ? 2 : entry_size(e);
    auto buf = buffer_alloc(length + (length == 0 ? 1 : 0));
    if (!buf) {
        err_print("error: can't allocate buffer.\n");
        return;
    }
    const std::uint64_t start = entry_start(e);
    int r;
    if (type == TYPE_PARENT) {
        // The parent directory, read the way a working directory is loaded.
        r = dir_transfer(fs, buf.get(), start, Direction::read);
    } else {
        r = chain_transfer(fs.vol, buf.get(), start, entry_contiguous(e), limit, Direction::read);
    }
    if (r != 0) {
        err_print("error: can't read file.\n");
        return;
    }
    int fd;
    do {
        fd = ::open(host_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err_print("error: can't open file `%s'.\n", host_path);
        return;
    }
    HostFile out(fd);
    // An existing regular file is cut first, so it holds exactly the export.
    struct stat st;
    if (::fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(out.fd, 0) != 0) {
        err_print("error: not all data saved.\n");
        return;
    }
    if (write_all(out.fd, buf.get(), length) != static_cast<std::int64_t>(length))
        err_print("error: not all data saved.\n");
}
