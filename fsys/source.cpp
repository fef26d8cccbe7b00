// Sources for new chains, and the errors' texts.
#include <cerrno>
#include <cstring>

#include "console.h"
#include "fat.h"
#include "fsys.h"

FsErr count_add(Volume& v, const Folder& f, int delta, Folder* other, bool* raised);

ChainFill fill_from_buffer(Volume& v, const std::uint8_t* data, std::uint64_t bytes, std::uint64_t blocks) {
    return [&v, data, bytes, blocks](std::uint64_t start, std::uint64_t contiguous) {
        std::vector<BlockRun> runs;
        if (chain_map(v, start, contiguous, blocks, Direction::write, runs) < 0) return -1;
        std::uint64_t done = 0;
        for (const BlockRun& r : runs) {
            // Whole blocks straight from the buffer; the last one padded.
            const std::uint64_t whole = std::min<std::uint64_t>(r.count, (bytes - std::min(bytes, done)) / BLOCK_SIZE);
            if (whole && blocks_write(v, data + done, r.first, whole) != 0) return -1;
            done += whole * BLOCK_SIZE;
            for (std::uint64_t b = whole; b < r.count; ++b) {
                Block tail{};
                if (done < bytes) std::memcpy(tail.data(), data + done, std::min<std::uint64_t>(BLOCK_SIZE, bytes - done));
                if (block_write(v, tail.data(), r.first + b) != 0) return -1;
                done += BLOCK_SIZE;
            }
        }
        return 0;
    };
}

ChainFill fill_from_host(Volume& v, int fd, std::uint64_t bytes, std::uint64_t blocks) {
    return [&v, fd, bytes, blocks](std::uint64_t start, std::uint64_t contiguous) {
        std::vector<BlockRun> runs;
        if (chain_map(v, start, contiguous, blocks, Direction::write, runs) < 0) return -1;
        return runs_from_host(v, runs, fd, bytes) == 0 ? 0 : -1;
    };
}

ChainFill fill_from_chain(Volume& v, Volume& from, std::uint64_t start, std::uint64_t contiguous,
                          std::uint64_t blocks) {
    return [&v, &from, start, contiguous, blocks](std::uint64_t to, std::uint64_t to_contiguous) {
        std::vector<BlockRun> src, dst;
        if (chain_map(from, start, contiguous, blocks, Direction::read, src) < 0) return -1;
        if (chain_map(v, to, to_contiguous, blocks, Direction::write, dst) < 0) return -1;
        if (&v == &from) return runs_copy(v, src, dst) == 0 ? 0 : -1;
        std::vector<std::uint8_t> buf(BLOCK_SIZE * 2048);
        std::uint64_t si = 0, so = 0, di = 0, dof = 0;
        while (si < src.size() && di < dst.size()) {
            const std::uint64_t n = std::min({src[si].count - so, dst[di].count - dof, std::uint64_t{2048}});
            if (block_read_run(from, buf.data(), src[si].first + so, n) != 0) return -1;
            if (blocks_write(v, buf.data(), dst[di].first + dof, n) != 0) return -1;
            if ((so += n) == src[si].count) ++si, so = 0;
            if ((dof += n) == dst[di].count) ++di, dof = 0;
        }
        return 0;
    };
}

const char* fs_strerror(FsErr e) {
    switch (e) {
    case FsErr::ok: return "done";
    case FsErr::read_only: return "volume is read-only";
    case FsErr::bad_slot: return "folder is full (38 entries)";
    case FsErr::no_entry: return "no such file or folder";
    case FsErr::not_folder: return "not a folder";
    case FsErr::is_folder: return "is a folder";
    case FsErr::exists: return "name already taken";
    case FsErr::not_empty: return "folder is not empty";
    case FsErr::name_too_long: return "name longer than 12 bytes";
    case FsErr::zero_length: return "file of no blocks";
    case FsErr::too_big: return "larger than 65,535 blocks";
    case FsErr::no_space: return "not enough free blocks";
    case FsErr::bad_type: return "invalid type";
    case FsErr::into_itself: return "folder cannot go into itself";
    case FsErr::is_root: return "the root cannot be changed so";
    case FsErr::damaged: return "volume damaged (run zvkfsck)";
    case FsErr::fill_failed: return "source could not be read";
    case FsErr::read_error: return "read error on the volume";
    case FsErr::write_error: return "write error on the volume";
    case FsErr::fat_error: return "FAT could not be written";
    case FsErr::no_memory: return "out of memory";
    }
    return "unknown error";
}

int fs_errno(FsErr e) {
    switch (e) {
    case FsErr::ok: return 0;
    case FsErr::read_only: return EROFS;
    case FsErr::bad_slot: return ENOSPC;
    case FsErr::no_entry: return ENOENT;
    case FsErr::not_folder: return ENOTDIR;
    case FsErr::is_folder: return EISDIR;
    case FsErr::exists: return EEXIST;
    case FsErr::not_empty: return ENOTEMPTY;
    case FsErr::name_too_long: return ENAMETOOLONG;
    case FsErr::too_big: return EFBIG;
    case FsErr::no_space: return ENOSPC;
    case FsErr::zero_length: case FsErr::bad_type: case FsErr::into_itself: return EINVAL;
    case FsErr::is_root: return EBUSY;
    case FsErr::no_memory: return ENOMEM;
    default: return EIO;
    }
}
