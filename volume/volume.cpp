#include "volume.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "fat.h"
#include "platform.h"

Volume::~Volume() {
    if (fd >= 0) ::close(fd);
}

namespace {

// Byte offset of block n, or -1 when it does not fit the host's file offsets.
off_t block_offset(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(LLONG_MAX) / BLOCK_SIZE) return -1;
    return static_cast<off_t>(n * BLOCK_SIZE);
}

// Read a whole block at off, retrying interrupted and partial reads.
// Move len bytes at off, retrying interrupted and partial transfers.
bool read_full(int fd, std::uint8_t* buf, off_t off, std::size_t len = BLOCK_SIZE) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t r = ::pread(fd, buf + done, len - done, off + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

bool write_full(int fd, const std::uint8_t* buf, off_t off, std::size_t len = BLOCK_SIZE) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t r = platform_pwrite(fd, buf + done, len - done, off + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

// Largest run moved with one call.
constexpr std::uint64_t RUN_CHUNK_BLOCKS = 2048;

// Move m consecutive blocks from block b in one call: true when all of them
// moved. A failure is not reported: the caller repeats the blocks one by
// one, which finds and reports it exactly where a block fails.
bool run_transfer(Volume& v, std::uint8_t* buf, std::uint64_t b, std::uint64_t m, Direction dir) {
    if (b > static_cast<std::uint64_t>(LLONG_MAX) / BLOCK_SIZE - m) return false;
    const off_t off = static_cast<off_t>(b * BLOCK_SIZE);
    const std::size_t len = static_cast<std::size_t>(m * BLOCK_SIZE);
    bool ok = dir == Direction::read ? read_full(v.fd, buf, off, len) : write_full(v.fd, buf, off, len);
    if (dir == Direction::write) {
        v.unsynced = true;
        ++v.changes;
    }
    if (ok) (dir == Direction::read ? v.blocks_read : v.blocks_written) += m;
    return ok;
}

// Block bounds rule: blocks 0-2 are always reachable, others below TOTAL_BLK_NR.
bool block_in_bounds(const Volume& v, std::uint64_t n) {
    if (n < 3 || n < total_blocks(v)) return true;
    err_print("error: can't access block beyond TOTAL_BLK_NR.\n");
    return false;
}

int open_volume_file(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

int volume_open(Volume& v, const char* path) {
    if (v.fd >= 0) ::close(v.fd);
    v.fd = open_volume_file(path, O_RDWR);
    v.read_only = false;
    v.locked = false;
    if (v.fd >= 0) {
        int lock = platform_lock_exclusive(v.fd);
        if (lock == 1) {
            err_print("warning: volume in use by another program.\n");
            ::close(v.fd);
            v.fd = -1;
        } else if (platform_device_readonly(v.fd) == 1) {
            // A write-protected device opens for writing, then refuses
            // every write: use it read-only from the start.
            ::close(v.fd);
            v.fd = -1;
        } else {
            v.locked = lock == 0;
        }
    }
    if (v.fd < 0) {
        v.fd = open_volume_file(path, O_RDONLY);
        if (v.fd < 0) {
            err_print("can't open file `%s'.\n", path);
            return -1;
        }
        err_print("open file `%s' readonly.\n", path);
        v.read_only = true;
    }
    fat_cache_reset(v);
    return headers_read(v) == 0 ? 0 : -2;
}

namespace {

// Take over fd as the volume's descriptor and read the headers silently.
int volume_adopt(Volume& v, int fd, bool read_only, bool locked) {
    if (v.fd >= 0) ::close(v.fd);
    v.fd = fd;
    v.read_only = read_only;
    v.locked = locked;
    v.unsynced = false;
    fat_cache_reset(v);
    const bool ok = read_full(v.fd, v.devid.data(), 1 * BLOCK_SIZE) &&
                    read_full(v.fd, v.os.data(), 2 * BLOCK_SIZE);
    return ok ? 0 : -2;
}

}  // namespace

int volume_open_readonly(Volume& v, const char* path) {
    const int fd = open_volume_file(path, O_RDONLY);
    if (fd < 0) return -1;
    return volume_adopt(v, fd, true, false);
}

int volume_open_exclusive(Volume& v, const char* path) {
    const int fd = open_volume_file(path, O_RDWR);
    if (fd < 0) return -1;
    const int lock = platform_lock_exclusive(fd);
    if (lock == 1) {
        ::close(fd);
        return -3;
    }
    return volume_adopt(v, fd, false, lock == 0);
}

int headers_read(Volume& v) {
    if (!read_full(v.fd, v.devid.data(), 1 * BLOCK_SIZE)) {
        err_print("error: can't read block.\n");
        return -1;
    }
    if (!read_full(v.fd, v.os.data(), 2 * BLOCK_SIZE)) {
        err_print("error: can't read block.\n");
        return -1;
    }
    return 0;
}

int block_read(Volume& v, std::uint8_t* buf, std::uint64_t n) {
    if (!block_in_bounds(v, n)) return -1;
    off_t off = block_offset(n);
    if (off < 0) {
        err_print("error: can't seek block.\n");
        return -1;
    }
    if (!read_full(v.fd, buf, off)) {
        err_print("error: can't read block.\n");
        return -2;
    }
    ++v.blocks_read;
    return 0;
}

int block_read_run(Volume& v, std::uint8_t* buf, std::uint64_t first, std::uint64_t count) {
    if (count == 0) return 0;
    if (first + count > std::max<std::uint64_t>(total_blocks(v), 3) || block_offset(first + count) < 0) return -1;
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t m = std::min(count - done, RUN_CHUNK_BLOCKS);
        if (!read_full(v.fd, buf + done * BLOCK_SIZE, block_offset(first + done), m * BLOCK_SIZE)) return -2;
        v.blocks_read += m;
        done += m;
    }
    return 0;
}

int block_write(Volume& v, const std::uint8_t* buf, std::uint64_t n) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (!block_in_bounds(v, n)) return -1;
    off_t off = block_offset(n);
    if (off < 0) {
        err_print("error: can't seek block.\n");
        return -2;
    }
    v.unsynced = true;
    ++v.changes;
    if (!write_full(v.fd, buf, off)) {
        err_print("error: can't write block.\n");
        return -3;
    }
    ++v.blocks_written;
    return 0;
}

std::uint64_t blocks_read_ahead(Volume& v, std::uint8_t* buf, std::uint64_t n, std::uint64_t count) {
    if (n > static_cast<std::uint64_t>(LLONG_MAX) / BLOCK_SIZE - count) return 0;
    const std::size_t len = static_cast<std::size_t>(count * BLOCK_SIZE);
    std::size_t done = 0;
    while (done < len) {
        ssize_t r = ::pread(v.fd, buf + done, len - done, static_cast<off_t>(n * BLOCK_SIZE + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    return done / BLOCK_SIZE;
}

int blocks_write(Volume& v, const std::uint8_t* buf, std::uint64_t n, std::uint64_t count) {
    while (count > 0) {
        // A run inside the volume goes in one call; a failed call, or a block
        // the bounds rule refuses, is redone by block_write, which reports it.
        std::uint64_t m = std::min(count, RUN_CHUNK_BLOCKS);
        if (!v.read_only && n < total_blocks(v) && m <= total_blocks(v) - n &&
            run_transfer(v, const_cast<std::uint8_t*>(buf), n, m, Direction::write)) {
            n += m;
            count -= m;
            buf += m * BLOCK_SIZE;
            continue;
        }
        int r = block_write(v, buf, n);
        if (r != 0) return r;
        ++n;
        --count;
        buf += BLOCK_SIZE;
    }
    return 0;
}

namespace {

// The block after b in its chain: within the leading run (*run left) the
// next number, else the FAT's successor. 1 with *b advanced, 0 at the end
// mark, or the failure of chain_transfer (-2 ... -5) after saying why.
int chain_next(Volume& v, std::uint64_t* b, std::uint64_t* run) {
    if (*run > 0) {
        if (++*b >= total_blocks(v)) {
            err_print("error: blocknr too big.\n");
            return -5;
        }
        --*run;
        return 1;
    }
    if (*b >= total_blocks(v)) {
        err_print("error: bad block in chain.\n");
        return -4;
    }
    const int slot = fat_slot_for(v, *b);
    if (slot < 0) return -2;
    const std::uint32_t next = be24_get(v.fat.buffer[slot].data() + fat_offset_of(*b));
    if (next == FAT_BAD) {
        err_print("error: bad block in chain.\n");
        return -4;
    }
    if (next == FAT_EOF) return 0;
    if (next == FAT_FREE) {
        err_print("error: free block in chain.\n");
        return -3;
    }
    *b = next;
    return 1;
}

// Inside the leading run, the blocks from *b that are sure to pass every
// check of a block-by-block walk (inside the volume, with a successor
// inside it and count left over) go to step.run at once: true when it took
// them, with *b, *run and *count advanced.
template <class Step>
bool chain_bulk(Volume& v, Step& step, std::uint64_t* b, std::uint64_t* run, std::uint64_t* count) {
    if (*run == 0 || *count <= 1 || *b >= total_blocks(v)) return false;
    const std::uint64_t m = std::min({*run, *count - 1, total_blocks(v) - 1 - *b, RUN_CHUNK_BLOCKS});
    if (m == 0 || !step.run(*b, m)) return false;
    *b += m;
    *run -= m;
    *count -= m;
    return true;
}

// Follow up to count blocks of the chain at start, handing each block to
// step: step.run(b, m) for m consecutive blocks that are sure to pass every
// check (true when it took them; when not, they are offered again one by
// one), step.one(b) for a single block (0, or non-zero after reporting why
// not). Results as chain_transfer.
template <class Step>
int chain_walk(Volume& v, std::uint64_t start, std::uint64_t contiguous, std::uint64_t count, Direction dir,
               Step& step) {
    if (dir == Direction::write && v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (count == 0) return 1;
    std::uint64_t run = contiguous >= 1 ? contiguous - 1 : 0;
    std::uint64_t b = start;
    for (;;) {
        if (chain_bulk(v, step, &b, &run, &count)) continue;
        if (step.one(b) != 0) return -1;
        const int r = chain_next(v, &b, &run);
        if (r <= 0) return r;
        if (--count == 0) return 1;
    }
}

// Moves the blocks of a chain through a buffer in memory.
struct BufferStep {
    Volume& v;
    std::uint8_t* buf;
    Direction dir;

    bool run(std::uint64_t b, std::uint64_t m) {
        if (!run_transfer(v, buf, b, m, dir)) return false;
        buf += m * BLOCK_SIZE;
        return true;
    }
    int one(std::uint64_t b) {
        int r = dir == Direction::read ? block_read(v, buf, b) : block_write(v, buf, b);
        if (r == 0) buf += BLOCK_SIZE;
        return r;
    }
};

// Notes the blocks of a chain as runs, checking each block the way a
// transfer would before it moves it.
struct MapStep {
    Volume& v;
    Direction dir;
    std::uint64_t readable;  // blocks a read finds: the image's length, or all
    std::vector<BlockRun>& runs;

    void note(std::uint64_t b, std::uint64_t m) {
        if (!runs.empty() && runs.back().first + runs.back().count == b)
            runs.back().count += m;
        else
            runs.push_back({b, m});
    }
    bool run(std::uint64_t b, std::uint64_t m) {
        if (dir == Direction::read && (b >= readable || m > readable - b)) return false;
        note(b, m);
        return true;
    }
    int one(std::uint64_t b) {
        if (!block_in_bounds(v, b)) return -1;
        if (block_offset(b) < 0) {
            err_print("error: can't seek block.\n");
            return -1;
        }
        if (dir == Direction::read && b >= readable) {
            err_print("error: can't read block.\n");
            return -2;
        }
        note(b, 1);
        return 0;
    }
};

}  // namespace

int chain_transfer(Volume& v, std::uint8_t* buf, std::uint64_t start, std::uint64_t contiguous,
                   std::uint64_t count, Direction dir) {
    BufferStep step{v, buf, dir};
    return chain_walk(v, start, contiguous, count, dir, step);
}

int chain_map(Volume& v, std::uint64_t start, std::uint64_t contiguous, std::uint64_t count, Direction dir,
              std::vector<BlockRun>& runs) {
    runs.clear();
    struct stat st;
    std::uint64_t readable = ~std::uint64_t{0};
    if (::fstat(v.fd, &st) == 0 && S_ISREG(st.st_mode)) readable = static_cast<std::uint64_t>(st.st_size) / BLOCK_SIZE;
    MapStep step{v, dir, readable, runs};
    return chain_walk(v, start, contiguous, count, dir, step);
}

namespace {

// Largest part of a stream moved with one call (1 MB).
constexpr std::uint64_t STREAM_CHUNK_BLOCKS = 2048;

// Number of blocks the runs hold.
std::uint64_t runs_blocks(const std::vector<BlockRun>& runs) {
    std::uint64_t n = 0;
    for (const BlockRun& r : runs) n += r.count;
    return n;
}

// The buffer of a stream over runs, made on first use: one chunk, or less
// when the runs hold less; null when memory runs out. Never zero-filled,
// as it is always read into.
struct StreamBuffer {
    const std::vector<BlockRun>& runs;
    std::unique_ptr<std::uint8_t[]> data;

    std::uint8_t* get() {
        if (!data) {
            const std::uint64_t blocks = std::min(runs_blocks(runs), STREAM_CHUNK_BLOCKS);
            data.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(blocks * BLOCK_SIZE)]);
        }
        return data.get();
    }
};

// Write len bytes to the host file at its offset: true when all went.
bool host_write(int fd, const std::uint8_t* p, std::size_t len) {
    while (len > 0) {
        ssize_t r = ::write(fd, p, len);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        len -= static_cast<std::size_t>(r);
    }
    return true;
}

// Read m blocks from block b into buf, in one call, or one by one to report
// the block that fails: 0 or -1.
int volume_read_run(Volume& v, std::uint8_t* buf, std::uint64_t b, std::uint64_t m) {
    if (run_transfer(v, buf, b, m, Direction::read)) return 0;
    for (std::uint64_t i = 0; i < m; ++i)
        if (block_read(v, buf + i * BLOCK_SIZE, b + i) != 0) return -1;
    return 0;
}

// Copy m blocks from block b to the host file without passing them through
// memory: the number of whole blocks copied, fewer when the host cannot.
std::uint64_t host_copy(Volume& v, int host_fd, std::uint64_t b, std::uint64_t m) {
    std::uint64_t done = 0;
    while (done < m) {
        long r = platform_copy_range(v.fd, static_cast<long long>((b + done) * BLOCK_SIZE), host_fd, -1,
                                     static_cast<std::size_t>((m - done) * BLOCK_SIZE));
        if (r <= 0) break;
        done += static_cast<std::uint64_t>(r) / BLOCK_SIZE;
        if (r % static_cast<long>(BLOCK_SIZE) != 0) {
            // A part of a block went out: the host file's offset is past it,
            // and the buffer writes that block again, so step back over it.
            ::lseek(host_fd, -(r % static_cast<long>(BLOCK_SIZE)), SEEK_CUR);
            break;
        }
    }
    v.blocks_read += done;
    return done;
}

}  // namespace

int runs_to_host(Volume& v, const std::vector<BlockRun>& runs, int host_fd) {
    StreamBuffer buf{runs, nullptr};
    bool copy = true;
    for (const BlockRun& run : runs) {
        for (std::uint64_t b = run.first, left = run.count; left > 0;) {
            std::uint64_t m = std::min(left, STREAM_CHUNK_BLOCKS);
            if (copy) {
                const std::uint64_t c = host_copy(v, host_fd, b, m);
                // Nothing copied at all: the host offers no such copy here.
                if (c == 0) copy = false;
                b += c;
                left -= c;
                if (c == m) continue;
                m = std::min(left, STREAM_CHUNK_BLOCKS);
            }
            std::uint8_t* p = buf.get();
            if (!p) return -4;
            if (volume_read_run(v, p, b, m) != 0) return -1;
            if (!host_write(host_fd, p, static_cast<std::size_t>(m * BLOCK_SIZE))) return -2;
            b += m;
            left -= m;
        }
    }
    return 0;
}

namespace {

// Write m blocks from buf to block b on, in one call, or one by one to
// report the block that fails: 0 or -1.
int volume_write_run(Volume& v, const std::uint8_t* buf, std::uint64_t b, std::uint64_t m) {
    if (run_transfer(v, const_cast<std::uint8_t*>(buf), b, m, Direction::write)) return 0;
    for (std::uint64_t i = 0; i < m; ++i)
        if (block_write(v, buf + i * BLOCK_SIZE, b + i) != 0) return -1;
    return 0;
}

// Read up to len bytes of the host file at off: true when all came.
bool host_read(int fd, std::uint8_t* p, std::size_t len, std::uint64_t off) {
    while (len > 0) {
        ssize_t r = ::pread(fd, p, len, static_cast<off_t>(off));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        off += static_cast<std::uint64_t>(r);
        len -= static_cast<std::size_t>(r);
    }
    return true;
}

// Copy m blocks from the host file at pos to block b on without passing them
// through memory: the number of whole blocks copied, fewer when the host
// cannot (what went out of a block only in part is written again).
std::uint64_t host_copy_in(Volume& v, int host_fd, std::uint64_t pos, std::uint64_t b, std::uint64_t m) {
    std::uint64_t done = 0;
    while (done < m) {
        long r = platform_copy_range(host_fd, static_cast<long long>(pos + done * BLOCK_SIZE), v.fd,
                                     static_cast<long long>((b + done) * BLOCK_SIZE),
                                     static_cast<std::size_t>((m - done) * BLOCK_SIZE));
        if (r > 0) {
            v.unsynced = true;
            ++v.changes;
        }
        if (r <= 0) break;
        done += static_cast<std::uint64_t>(r) / BLOCK_SIZE;
        if (r % static_cast<long>(BLOCK_SIZE) != 0) break;
    }
    v.blocks_written += done;
    return done;
}

}  // namespace

int runs_from_host(Volume& v, const std::vector<BlockRun>& runs, int host_fd, std::uint64_t bytes) {
    StreamBuffer buf{runs, nullptr};
    bool copy = true;
    std::uint64_t pos = 0;  // bytes of the file placed so far
    for (const BlockRun& run : runs) {
        for (std::uint64_t b = run.first, left = run.count; left > 0;) {
            std::uint64_t m = std::min(left, STREAM_CHUNK_BLOCKS);
            // Whole blocks of the file go without a copy in memory where
            // the host can; the rest, and the zeros behind the end, through
            // the buffer.
            if (copy && pos + m * BLOCK_SIZE <= bytes) {
                const std::uint64_t c = host_copy_in(v, host_fd, pos, b, m);
                if (c == 0) copy = false;
                pos += c * BLOCK_SIZE;
                b += c;
                left -= c;
                if (c == m) continue;
                m = std::min(left, STREAM_CHUNK_BLOCKS);
            }
            const std::size_t len = static_cast<std::size_t>(m * BLOCK_SIZE);
            std::uint8_t* p = buf.get();
            if (!p) return -4;
            const std::size_t have =
                pos >= bytes ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(len, bytes - pos));
            if (!host_read(host_fd, p, have, pos)) return -3;
            std::fill(p + have, p + len, std::uint8_t{0});
            if (volume_write_run(v, p, b, m) != 0) return -1;
            pos += len;
            b += m;
            left -= m;
        }
    }
    return 0;
}

namespace {

bool runs_overlap(const std::vector<BlockRun>& a, const std::vector<BlockRun>& b) {
    for (const BlockRun& x : a)
        for (const BlockRun& y : b)
            if (x.first < y.first + y.count && y.first < x.first + x.count) return true;
    return false;
}

}  // namespace

int runs_copy(Volume& v, const std::vector<BlockRun>& from, const std::vector<BlockRun>& to) {
    // Blocks written before they are read (a damaged source chain that runs
    // through blocks the new chain took) would copy the copy: read all first.
    const bool whole = runs_overlap(from, to);
    const std::uint64_t all = std::max<std::uint64_t>(runs_blocks(from), 1);
    const std::uint64_t chunk = whole ? all : std::min(all, STREAM_CHUNK_BLOCKS);
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(chunk * BLOCK_SIZE)]);
    if (!buf) return -4;
    std::uint64_t at = 0;  // blocks of from read into buf and not yet written
    std::size_t i = 0, j = 0;
    std::uint64_t di = 0, dj = 0;  // blocks done within from[i] and to[j]
    while (i < from.size() && j < to.size()) {
        std::uint64_t m = std::min({from[i].count - di, to[j].count - dj, chunk - at});
        if (volume_read_run(v, buf.get() + at * BLOCK_SIZE, from[i].first + di, m) != 0) return -1;
        if (!whole && volume_write_run(v, buf.get(), to[j].first + dj, m) != 0) return -2;
        at = whole ? at + m : 0;
        di += m;
        dj += m;
        if (di == from[i].count) ++i, di = 0;
        if (dj == to[j].count) ++j, dj = 0;
    }
    if (whole) {
        std::uint64_t done = 0;
        for (const BlockRun& r : to) {
            const std::uint64_t m = std::min(r.count, at - done);
            if (m > 0 && volume_write_run(v, buf.get() + done * BLOCK_SIZE, r.first, m) != 0) return -2;
            done += m;
        }
    }
    return 0;
}

void volume_sync(Volume& v) {
    if (v.read_only || v.fd < 0) return;
    platform_sync(v.fd);
    v.unsynced = false;
}

int volume_barrier(Volume& v) {
    if (v.read_only || v.fd < 0 || !v.unsynced) return 0;
    if (platform_datasync(v.fd) != 0) return -1;
    v.unsynced = false;
    return 0;
}
