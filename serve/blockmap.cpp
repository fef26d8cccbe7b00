// The owner of every block of a volume, for the page's block map: the FAT
// read whole, the folders walked from the root and each chain followed in
// the FAT, so what no entry reaches shows as lost.
#include <cstring>
#include <deque>
#include <unordered_map>

#include "api.h"
#include "paths.h"

namespace {

struct MapWork {
    Volume& v;
    std::uint32_t total = 0;
    std::uint64_t ds = 0;
    std::vector<std::uint8_t> fat;     // FAT blocks 5 .. ds-1
    std::vector<std::uint32_t> owner;  // code of each block
    std::unordered_map<std::uint32_t, std::uint32_t> by_first;  // first block -> owners index
    BlockMap& out;
};

std::uint32_t fat_entry(const MapWork& w, std::uint64_t b) {
    return be24_get(w.fat.data() + fat_block_of(b) * BLOCK_SIZE + fat_offset_of(b));
}

// Read the FAT in runs of 2048 blocks: ok or read_error.
FsErr load_fat(MapWork& w) {
    const std::uint64_t blocks = w.ds - FAT_FIRST_BLOCK;
    w.fat.resize(blocks * BLOCK_SIZE);
    for (std::uint64_t k = 0; k < blocks; k += 2048) {
        const std::uint64_t n = std::min<std::uint64_t>(2048, blocks - k);
        if (block_read_run(w.v, w.fat.data() + k * BLOCK_SIZE, FAT_FIRST_BLOCK + k, n) != 0) return FsErr::read_error;
    }
    return FsErr::ok;
}

// Every block by what the FAT says: system below the data area, free, bad,
// or lost until an entry claims it.
void classify(MapWork& w) {
    w.owner.assign(w.total, MAP_SYSTEM);
    for (std::uint64_t b = w.ds; b < w.total; ++b) {
        const std::uint32_t e = fat_entry(w, b);
        w.owner[b] = e == FAT_FREE ? MAP_FREE : e == FAT_BAD ? MAP_BAD : MAP_LOST;
    }
}

// Claim the chain at first for owner code, following the FAT to its end
// mark (at most limit blocks; a loop, a free or bad block or one beyond the
// volume ends it): the blocks claimed.
std::uint32_t claim(MapWork& w, std::uint64_t first, std::uint32_t code, std::uint32_t limit) {
    std::uint32_t n = 0;
    std::uint64_t b = first;
    while (n < limit && b >= w.ds && b < w.total && w.owner[b] == MAP_LOST) {
        w.owner[b] = code;
        ++n;
        const std::uint32_t next = fat_entry(w, b);
        if (next < 3) break;
        b = next;
    }
    return n;
}

// The owner of the chain of entry e at path, shared by the links that name
// the same first block: its code.
std::uint32_t owner_of(MapWork& w, const std::uint8_t* e, const std::string& path) {
    const std::uint32_t first = entry_start(e);
    const auto it = w.by_first.find(first);
    if (it != w.by_first.end()) {
        w.out.owners[it->second].links.push_back(path);
        return 0;
    }
    const bool folder = entry_type(e) == TYPE_SUBDIR;
    const std::uint32_t index = static_cast<std::uint32_t>(w.out.owners.size());
    w.out.owners.push_back({path, first, folder, 0, {}});
    w.by_first.emplace(first, index);
    w.out.owners.back().blocks = claim(w, first, MAP_OWNER + index, folder ? 2 : MAX_FILE_BLOCKS + 1);
    return MAP_OWNER + index;
}

// Walk every folder from the root breadth first, claiming chains.
void walk(MapWork& w) {
    w.out.owners.push_back({"/", ROOT_DIR_BLOCK, true, 2, {}});
    w.owner[ROOT_DIR_BLOCK] = w.owner[ROOT_DIR_BLOCK + 1] = MAP_OWNER;
    std::deque<std::pair<Folder, std::string>> queue(1);
    if (folder_read_root(w.v, &queue.front().first) != FsErr::ok) return;
    queue.front().second.push_back('/');
    while (!queue.empty()) {
        auto [f, path] = std::move(queue.front());
        queue.pop_front();
        for (const auto& [slot, name] : folder_listing(f.image)) {
            const std::uint8_t* e = folder_entry(f, slot);
            const std::string p = path_join(path, web_name(name));
            const bool seen = w.by_first.count(entry_start(e)) != 0;
            owner_of(w, e, p);
            Folder child;
            if (entry_type(e) == TYPE_SUBDIR && !seen && folder_child(w.v, f, slot, &child) == FsErr::ok)
                queue.emplace_back(std::move(child), p);
        }
    }
}

void run_length(MapWork& w) {
    std::vector<std::uint32_t>& runs = w.out.runs;
    for (std::uint64_t b = 0; b < w.total; ++b) {
        if (!runs.empty() && runs[runs.size() - 2] == w.owner[b]) {
            ++runs.back();
        } else {
            runs.push_back(w.owner[b]);
            runs.push_back(1);
        }
    }
}

void put_le32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

FsErr block_map(Volume& v, BlockMap* out) {
    MapWork w{v, total_blocks(v), data_start(total_blocks(v)), {}, {}, {}, *out};
    if (w.total <= ROOT_DIR_BLOCK + 2 || w.ds >= w.total) return FsErr::damaged;
    if (FsErr e = load_fat(w); e != FsErr::ok) return e;
    out->total = w.total;
    classify(w);
    walk(w);
    run_length(w);
    return FsErr::ok;
}

std::string block_map_bytes(const BlockMap& m) {
    Json owners = Json::array();
    for (const MapOwner& o : m.owners) {
        Json row = {{"p", o.path}, {"f", o.first}, {"d", o.folder ? 1 : 0}, {"n", o.blocks}};
        if (!o.links.empty()) row["l"] = o.links;
        owners.push_back(std::move(row));
    }
    std::string table = json_text(owners);
    while (table.size() % 4) table += ' ';
    std::string s = "ZVKM";
    put_le32(s, m.total);
    put_le32(s, static_cast<std::uint32_t>(table.size()));
    put_le32(s, static_cast<std::uint32_t>(m.runs.size() / 2));
    s += table;
    s.reserve(s.size() + m.runs.size() * 4);
    for (std::uint32_t r : m.runs) put_le32(s, r);
    return s;
}
