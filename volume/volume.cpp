#include "volume.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
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
        ssize_t r = ::pwrite(fd, buf + done, len - done, off + static_cast<off_t>(done));
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
    if (dir == Direction::write) v.unsynced = true;
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
    if (!write_full(v.fd, buf, off)) {
        err_print("error: can't write block.\n");
        return -3;
    }
    ++v.blocks_written;
    return 0;
}

int chain_transfer(Volume& v, std::uint8_t* buf, std::uint64_t start, std::uint64_t contiguous,
                   std::uint64_t count, Direction dir) {
    if (dir == Direction::write && v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (count == 0) return 1;
    std::uint64_t run = contiguous >= 1 ? contiguous - 1 : 0;
    std::uint64_t b = start;
    for (;;) {
        // Inside the leading run, blocks that are sure to pass every check
        // below (inside the volume, with a successor inside it and count
        // left over) move in bulk; the result is the same as block by block.
        if (run > 0 && count > 1 && b < total_blocks(v)) {
            std::uint64_t m = std::min({run, count - 1, total_blocks(v) - 1 - b, RUN_CHUNK_BLOCKS});
            if (m > 0 && run_transfer(v, buf, b, m, dir)) {
                b += m;
                run -= m;
                count -= m;
                buf += m * BLOCK_SIZE;
                continue;
            }
        }
        int r = dir == Direction::read ? block_read(v, buf, b) : block_write(v, buf, b);
        if (r != 0) return -1;
        if (run > 0) {
            // Within the leading run the next block is simply the next number.
            ++b;
            if (b >= total_blocks(v)) {
                err_print("error: blocknr too big.\n");
                return -5;
            }
            --run;
        } else {
            if (b >= total_blocks(v)) {
                err_print("error: bad block in chain.\n");
                return -4;
            }
            int slot = fat_slot_for(v, b);
            if (slot < 0) return -2;
            std::uint32_t next = be24_get(v.fat.buffer[slot].data() + fat_offset_of(b));
            if (next == FAT_BAD) {
                err_print("error: bad block in chain.\n");
                return -4;
            }
            if (next == FAT_EOF) return 0;
            if (next == FAT_FREE) {
                err_print("error: free block in chain.\n");
                return -3;
            }
            b = next;
        }
        buf += BLOCK_SIZE;
        if (--count == 0) return 1;
    }
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
