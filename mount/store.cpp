#include <cerrno>

#include "console.h"
#include "fat.h"
#include "mount.h"
#include "path.h"

namespace {

// Blocks that hold len bytes: whole blocks, at least one, since an entry
// cannot name an empty chain.
std::uint64_t blocks_for(std::uint64_t len) {
    const std::uint64_t b = (len + BLOCK_SIZE - 1) / BLOCK_SIZE;
    return b == 0 ? 1 : b;
}

// Point the entry (dir, slot) at the new chain when it still names the old
// one: 0, 1 (names another chain now), or -EIO.
int entry_switch(Mount& m, const EntryKey& at, std::uint64_t old_start, std::uint64_t blocks,
                 std::uint64_t start, std::uint64_t contig) {
    if (goto_dir_start(m, at.first) != 0) return -EIO;
    Fs& fs = *m.fs;
    std::uint8_t* e = dir_entry(fs.wd.image, static_cast<std::size_t>(at.second));
    if (entry_type(e) == TYPE_EMPTY || entry_start(e) != old_start) return 1;
    std::uint8_t before[DIR_ENTRY_SIZE];
    std::copy(e, e + DIR_ENTRY_SIZE, before);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(blocks));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(contig));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(start));
    if (dir_store(fs) != 0) {
        std::copy(before, before + DIR_ENTRY_SIZE, e);
        return -EIO;
    }
    return 0;
}

// Map the chain of a clean file, again after any write to the volume (which
// may have switched its entry to another chain): 0 or -EIO. A chain shorter
// than its size field leaves zero blocks at the end, one longer is read up
// to the size: both are data, as zvkfm gives them.
int node_map(Mount& m, Node& n) {
    Fs& fs = *m.fs;
    if (n.map_stamp == fs.vol.blocks_written) return 0;
    DirImage image;
    if (dir_transfer(fs, image.data(), n.key.first, Direction::read) != 0) return -EIO;
    const std::uint8_t* e = dir_entry(image, static_cast<std::size_t>(n.key.second));
    if (entry_type(e) == TYPE_EMPTY || entry_type(e) == TYPE_SUBDIR) return -EIO;
    n.runs.clear();
    n.mapped_blocks = entry_size(e);
    if (n.mapped_blocks > 0 &&
        chain_map(fs.vol, entry_start(e), entry_contiguous(e), n.mapped_blocks, Direction::read, n.runs) < 0)
        return -EIO;
    n.map_stamp = fs.vol.blocks_written;
    return 0;
}

// Write a file held in memory to a new chain, whole blocks padded with
// zeros: 0 with the chain's *start, *blocks and *contig, or -errno.
int chain_from_memory(Mount& m, Node& n, std::uint64_t* start, std::uint64_t* blocks, std::uint64_t* contig) {
    const std::uint64_t len = n.data.size();
    *blocks = blocks_for(len);
    if (*blocks > MAX_FILE_BLOCKS) return -EFBIG;
    resize_zeroed(n.data, static_cast<std::size_t>(*blocks * BLOCK_SIZE));
    int r = chain_write_new(m, n.data.data(), *blocks, 1, start, contig);
    n.data.resize(static_cast<std::size_t>(len));
    return r;
}

}  // namespace

int node_load(Mount& m, Node& n) {
    if (n.stream.on) return stream_to_memory(m, n);
    if (n.loaded) return 0;
    if (int r = node_map(m, n)) return r;
    Bytes data;
    data.resize(n.mapped_blocks * BLOCK_SIZE);
    std::uint8_t* p = data.data();
    for (const BlockRun& run : n.runs) {
        if (block_read_run(m.fs->vol, p, run.first, run.count) != 0) {
            err_print("error: can't read block.\n");
            return -EIO;
        }
        p += run.count * BLOCK_SIZE;
    }
    std::fill(p, data.data() + data.size(), std::uint8_t{0});
    n.data = std::move(data);
    n.loaded = true;
    return 0;
}

int node_read_in_place(Mount& m, Node& n, char* buf, std::size_t size, off_t off) {
    if (int r = node_map(m, n)) return r;
    const std::uint64_t len = n.mapped_blocks * BLOCK_SIZE;
    if (off < 0 || static_cast<std::uint64_t>(off) >= len) return 0;
    const std::uint64_t want = std::min<std::uint64_t>(size, len - static_cast<std::uint64_t>(off));
    auto* out = reinterpret_cast<std::uint8_t*>(buf);
    std::uint64_t pos = static_cast<std::uint64_t>(off), done = 0, base = 0;
    for (const BlockRun& run : n.runs) {
        const std::uint64_t run_end = (base + run.count) * BLOCK_SIZE;
        while (done < want && pos < run_end) {
            const std::uint64_t disk = run.first + pos / BLOCK_SIZE - base, in = pos % BLOCK_SIZE;
            std::uint64_t k = std::min(want - done, run_end - pos);
            int r;
            if (in == 0 && k >= BLOCK_SIZE) {
                k -= k % BLOCK_SIZE;
                r = block_read_run(m.fs->vol, out + done, disk, k / BLOCK_SIZE);
            } else {
                Block b;
                r = block_read(m.fs->vol, b.data(), disk);
                k = std::min(k, BLOCK_SIZE - in);
                std::copy(b.data() + in, b.data() + in + k, out + done);
            }
            if (r != 0) {
                err_print("error: can't read block.\n");
                return -EIO;
            }
            pos += k;
            done += k;
        }
        base += run.count;
    }
    std::fill(out + done, out + want, std::uint8_t{0});  // past a chain shorter than its size
    return static_cast<int>(want);
}

int node_store(Mount& m, Node& n) {
    if (!n.dirty) return 0;
    if (n.orphan) {
        stream_drop(m, n);
        n.dirty = false;
        return 0;
    }
    Volume& v = m.fs->vol;
    if (v.read_only) return -EROFS;
    const bool streamed = n.stream.on;
    std::uint64_t start = 0, blocks = 0, contig = 0;
    int r = streamed ? stream_finish(m, n, &start, &blocks, &contig) : chain_from_memory(m, n, &start, &blocks, &contig);
    if (r != 0) {
        if (streamed) n.dirty = false;  // the file keeps what the volume holds
        return r;
    }

    // The data and chain are durable: now the entry, then every other entry
    // that shares the old chain, and only then the old chain goes.
    if (goto_dir_start(m, n.key.first) != 0) r = -EIO;
    const std::uint8_t* e = dir_entry(m.fs->wd.image, static_cast<std::size_t>(n.key.second));
    const std::uint64_t old_start = entry_start(e);
    const std::uint64_t old_size = entry_size(e);
    std::vector<EntryKey> places{n.key};
    if (r == 0 && old_start >= data_start(total_blocks(v))) {
        auto it = census(m).sharers.find(old_start);
        if (it != m.census.sharers.end()) places = it->second;
    }
    // Switching entries leaves every directory where it was, so the census
    // still finds them; its link lists are refreshed afterwards.
    if (r != 0 || entry_switch(m, n.key, old_start, blocks, start, contig) != 0) {
        blocks_release(v, start, blocks);
        fat_commit(v);
        if (streamed) n.dirty = false;
        return -EIO;
    }
    for (const EntryKey& at : places)
        if (at != n.key) entry_switch(m, at, old_start, blocks, start, contig);
    m.census.valid = false;
    n.dirty = false;
    chain_release_unshared(m, old_start, old_size);
    return 0;
}

std::shared_ptr<Node> node_for(Mount& m, const EntryKey& key) {
    auto it = m.nodes.find(key);
    if (it != m.nodes.end()) return it->second;
    auto n = std::make_shared<Node>();
    n->key = key;
    m.nodes[key] = n;
    return n;
}

void node_drop_if_idle(Mount& m, const std::shared_ptr<Node>& n) {
    if (n->opens > 0 || n->dirty) return;
    auto it = m.nodes.find(n->key);
    if (it != m.nodes.end() && it->second == n) m.nodes.erase(it);
}

int mount_flush_all(Mount& m) {
    int result = 0;
    for (auto& [key, n] : m.nodes)
        if (n->dirty && node_store(m, *n) != 0) result = -EIO;
    Volume& v = m.fs->vol;
    if (!v.read_only) {
        if (fat_commit(v) != 0) result = -EIO;
        volume_sync(v);
    }
    return result;
}
