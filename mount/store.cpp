#include <cerrno>

#include "console.h"
#include "mount.h"
#include "rewrite.h"

namespace {

// Blocks that hold len bytes: whole blocks, at least one, since an entry
// cannot name an empty chain.
std::uint64_t blocks_for(std::uint64_t len) {
    const std::uint64_t b = (len + BLOCK_SIZE - 1) / BLOCK_SIZE;
    return b == 0 ? 1 : b;
}

// Map the chain of a clean file, again after any write to the volume (which
// may have switched its entry to another chain): 0 or -EIO. A chain shorter
// than its size field leaves zero blocks at the end, one longer is read up
// to the size: both are data, as zvkfm gives them.
int node_map(Mount& m, Node& n) {
    Volume& v = m.vol;
    if (n.map_stamp == v.changes) return 0;
    Folder f;
    if (folder_at(m, n.key.first, &f) != 0) return -EIO;
    const std::uint8_t* e = folder_entry(f, n.key.second);
    if (entry_type(e) == TYPE_EMPTY || entry_type(e) == TYPE_SUBDIR) return -EIO;
    n.runs.clear();
    n.mapped_blocks = entry_size(e);
    if (n.mapped_blocks > 0 &&
        chain_map(v, entry_start(e), entry_contiguous(e), n.mapped_blocks, Direction::read, n.runs) < 0)
        return -EIO;
    n.map_stamp = v.changes;
    return 0;
}

// Write a file held in memory to a new chain, whole blocks padded with
// zeros: 0 with the chain's *start, *blocks and *contig, or -errno.
int chain_from_memory(Mount& m, Node& n, std::uint64_t* start, std::uint64_t* blocks, std::uint64_t* contig) {
    Volume& v = m.vol;
    *blocks = blocks_for(n.data.size());
    if (*blocks > MAX_FILE_BLOCKS) return -EFBIG;
    *contig = 1;
    const FsErr e = fs_chain_new(v, *blocks, fill_from_buffer(v, n.data.data(), n.data.size(), *blocks), start, contig);
    return e == FsErr::ok ? 0 : fs_fail(e);
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
        if (block_read_run(m.vol, p, run.first, run.count) != 0) {
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
                r = block_read_run(m.vol, out + done, disk, k / BLOCK_SIZE);
            } else {
                Block b;
                r = block_read(m.vol, b.data(), disk);
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
    Volume& v = m.vol;
    if (v.read_only) return -EROFS;
    const bool streamed = n.stream.on;
    std::uint64_t start = 0, blocks = 0, contig = 0;
    int r = streamed ? stream_finish(m, n, &start, &blocks, &contig) : chain_from_memory(m, n, &start, &blocks, &contig);
    if (r != 0) {
        if (streamed) n.dirty = false;  // the file keeps what the volume holds
        return r;
    }
    // The data and chain are durable: now the entry and its links switch
    // to the new chain, and then the old chain goes.
    Folder f;
    int made = n.key.second;
    FsErr e = folder_at(m, n.key.first, &f) == 0 ? FsErr::ok : FsErr::read_error;
    if (e == FsErr::ok) e = fs_replace_linked(v, f, n.key.second, start, blocks, contig, &made);
    if (e != FsErr::ok) {
        fs_chain_free(v, start, blocks);
        if (streamed) n.dirty = false;
        return e == FsErr::read_only ? -EROFS : -EIO;  // the entry is not what the file was opened as
    }
    n.dirty = false;
    const EntryKey was = n.key;
    node_rekey(m, was, {was.first, made});  // entry 19 may have moved
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
    // Storing a file may move its entry, and so its key.
    std::vector<std::shared_ptr<Node>> dirty;
    for (auto& [key, n] : m.nodes)
        if (n->dirty) dirty.push_back(n);
    for (const auto& n : dirty)
        if (node_store(m, *n) != 0) result = -EIO;
    Volume& v = m.vol;
    if (!v.read_only) {
        if (fs_commit(v) != FsErr::ok) result = -EIO;
        volume_sync(v);
    }
    return result;
}
