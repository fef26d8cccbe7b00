#include <cerrno>
#include <cstring>

#include "mount.h"
#include "rewrite.h"

namespace {

// Whole blocks gathered in memory before they go out as one piece of chain.
constexpr std::size_t PIECE_BYTES = 2048 * BLOCK_SIZE;

// Add k blocks written from p to the chain of a streaming file, right after
// its last block where the FAT allows so that the chain stays one run: 0,
// or -errno with nothing more allocated.
int stream_extend(Mount& m, Node& n, const std::uint8_t* p, std::uint64_t k) {
    Volume& v = m.vol;
    Stream& s = n.stream;
    if (s.blocks + k > MAX_FILE_BLOCKS) return -EFBIG;
    std::uint64_t last = s.blocks > 0 ? s.last : 0, first = 0, contig = 1;
    const FsErr e = fs_chain_append(v, &last, k, fill_from_buffer(v, p, k * BLOCK_SIZE, k), &first, &contig);
    if (e != FsErr::ok) return e == FsErr::no_space ? -ENOSPC : e == FsErr::too_big ? -EFBIG : -EIO;
    if (s.blocks == 0) {
        s.start = first;
        s.contig = contig;
    } else if (s.contig == s.blocks && first == s.last + 1) {
        s.contig += contig;
    }
    s.last = last;
    s.blocks += k;
    return 0;
}

}  // namespace

void node_make_empty(Mount& m, Node& n) {
    stream_drop(m, n);
    n.data.clear();
    n.loaded = true;
}

int stream_write(Mount& m, Node& n, const char* buf, std::size_t size, off_t off) {
    if (!n.stream.on) {
        // Only a file emptied since it was opened (created or truncated) starts.
        if (off != 0 || !n.loaded || !n.data.empty()) return 1;
        n.stream = {};
        n.stream.on = true;
        n.data.reserve(2 * PIECE_BYTES);
    } else if (static_cast<std::uint64_t>(off) != node_length(n)) {
        return 1;
    }
    const std::size_t before = n.data.size();
    // Grown without zeroing and filled in one copy (an insert copies byte
    // by byte through the allocator).
    n.data.resize(before + size);
    std::memcpy(n.data.data() + before, buf, size);
    n.dirty = true;
    if (n.data.size() < PIECE_BYTES) return 0;
    const std::uint64_t k = n.data.size() / BLOCK_SIZE;
    if (int r = stream_extend(m, n, n.data.data(), k)) {
        n.data.resize(before);
        return r;
    }
    const std::size_t rest = n.data.size() - static_cast<std::size_t>(k * BLOCK_SIZE);
    std::memmove(n.data.data(), n.data.data() + k * BLOCK_SIZE, rest);
    n.data.resize(rest);
    return 0;
}

int stream_to_memory(Mount& m, Node& n) {
    Stream& s = n.stream;
    Bytes all;
    all.reserve(static_cast<std::size_t>(MAX_FILE_BYTES));
    all.resize(static_cast<std::size_t>(s.blocks * BLOCK_SIZE));
    if (s.blocks > 0 && chain_transfer(m.vol, all.data(), s.start, s.contig, s.blocks, Direction::read) < 0)
        return -EIO;
    all.insert(all.end(), n.data.begin(), n.data.end());
    stream_drop(m, n);
    n.data = std::move(all);
    return 0;
}

int stream_finish(Mount& m, Node& n, std::uint64_t* start, std::uint64_t* blocks, std::uint64_t* contig) {
    Stream& s = n.stream;
    int r = 0;
    // The last part of a block goes out padded with zeros; an empty file
    // is one zero block, as an entry cannot name an empty chain.
    if (!n.data.empty() || s.blocks == 0) {
        const std::uint64_t k = n.data.empty() ? 1 : (n.data.size() + BLOCK_SIZE - 1) / BLOCK_SIZE;
        resize_zeroed(n.data, static_cast<std::size_t>(k * BLOCK_SIZE));
        r = stream_extend(m, n, n.data.data(), k);
    }
    if (r == 0 && fs_commit(m.vol) != FsErr::ok) r = -EIO;
    if (r == 0) {
        *start = s.start;
        *blocks = s.blocks;
        *contig = s.contig;
        n.stream = {};
    } else {
        stream_drop(m, n);
    }
    // Either way nothing of it is left in memory: it is on the volume, or
    // the file keeps what the volume held before.
    n.data = {};
    n.loaded = false;
    return r;
}

void stream_drop(Mount& m, Node& n) {
    // The chain is named by no entry: it can go at any time.
    if (n.stream.blocks > 0) fs_chain_free(m.vol, n.stream.start, n.stream.blocks);
    n.stream = {};
}
