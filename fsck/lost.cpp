// Passes 2 and 5: blocks marked used that no entry reaches. Whole lost
// directories are reattached in FOUND first (pass 2) and walked like any
// other; every other lost chain is saved there as a file FILEnnnn of type
// 31 once the links and counts are set (pass 5). FOUND, FOUND2, ... are made
// in the root as needed, on blocks the check knows to be free. The entries
// are made by the volume layer, in its order: a chain mended before its
// entry, the count raised before the entry appears, entry 19 never half
// written, a reattached directory's parent link before its entry.
#include <cstring>

#include "console.h"
#include "fsck.h"

namespace {

constexpr std::uint8_t TYPE_SALVAGED = 31;

bool is_found_name(const std::uint8_t* name) {
    if (std::memcmp(name, "FOUND", 5) != 0) return false;
    std::size_t i = 5;
    while (i < NAME_LEN && name[i] >= '0' && name[i] <= '9') ++i;
    while (i < NAME_LEN && name[i] == ' ') ++i;
    return i == NAME_LEN;
}

// The FOUND directories of the root that the walk kept: dirs indices.
std::vector<std::uint32_t> found_dirs(const Fsck& f) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 1; i <= MAX_ENTRY_NR; ++i) {
        const std::uint8_t* e = dir_entry(f.dirs[0].image, i);
        if (entry_type(e) != TYPE_SUBDIR || !is_found_name(e + entry_field::NAME)) continue;
        auto it = f.dir_at.find(entry_start(e));
        if (it == f.dir_at.end()) continue;
        const DirNode& n = f.dirs[it->second];
        if (n.writable && n.kept >= 0 && n.refs[static_cast<std::size_t>(n.kept)].dir == 0 &&
            n.refs[static_cast<std::size_t>(n.kept)].slot == i)
            out.push_back(it->second);
    }
    return out;
}

// Whether the parent link of FOUND directory d names its entry in the root,
// as the layer needs to raise its count. Before pass 4 has judged the links
// a wrong one is put right at once (pass 4 still reports it as it was
// found); after, one left wrong leaves the directory unused.
bool found_linked(Fsck& f, std::uint32_t d) {
    const DirRef r = f.dirs[d].refs[static_cast<std::size_t>(f.dirs[d].kept)];
    if (links_to(f, d, r)) return true;
    if (f.links_checked) return false;
    DirNode& n = f.dirs[d];
    if (!n.relinked) std::memcpy(n.link_found.data(), dir_entry(n.image, 0), DIR_ENTRY_SIZE);
    n.relinked = true;
    return dir_relink(f, d, 0, r.slot);
}

// Highest number of the names prefix + digits in the FOUND directories.
std::uint32_t highest_number(const Fsck& f, const char* prefix) {
    const std::size_t len = std::strlen(prefix);
    std::uint32_t high = 0;
    for (std::uint32_t d : found_dirs(f)) {
        for (std::size_t i = 1; i < DIR_ENTRIES; ++i) {
            const std::uint8_t* e = dir_entry(f.dirs[d].image, i);
            if (entry_type(e) == TYPE_EMPTY || std::memcmp(e + entry_field::NAME, prefix, len) != 0) continue;
            std::uint32_t n = 0;
            for (std::size_t k = len; k < NAME_LEN && e[entry_field::NAME + k] >= '0' &&
                                      e[entry_field::NAME + k] <= '9' && n < 100000000;
                 ++k)
                n = n * 10 + (e[entry_field::NAME + k] - '0');
            if (n > high) high = n;
        }
    }
    return high;
}

// The next salvage name, FILEnnnn or DIRnnnn; taken only when take is set.
std::string next_name(Fsck& f, bool dir, bool take = false) {
    if (!f.found_scanned) {
        f.found_files = highest_number(f, "FILE");
        f.found_dirs = highest_number(f, "DIR");
        f.found_scanned = true;
    }
    std::uint32_t& n = dir ? f.found_dirs : f.found_files;
    if (take) ++n;
    return fmt(dir ? "DIR%04u" : "FILE%04u", take ? n : n + 1);
}

RawName stored_name(const std::string& name) {
    RawName raw;
    name_encode(name.c_str(), raw);
    return raw;
}

bool root_name_taken(const Fsck& f, const std::string& name) {
    const RawName padded = stored_name(name);
    for (std::uint32_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(f.dirs[0].image, i);
        if (entry_type(e) != TYPE_EMPTY && std::memcmp(e + entry_field::NAME, padded.data(), NAME_LEN) == 0)
            return true;
    }
    return false;
}

// A new empty FOUND directory in the root, on the lowest free pair of
// blocks that nothing may still hope to reach: its dirs index, or -1.
int create_found(Fsck& f) {
    const int slot = folder_free_slot(f.dirs[0]);
    const std::uint32_t p = slot > 0 ? find_free(f, true) : 0;
    if (p == 0) return -1;
    std::string name;
    for (int k = 1; k < 100 && name.empty(); ++k) {
        const std::string c = k == 1 ? std::string("FOUND") : fmt("FOUND%d", k);
        if (!root_name_taken(f, c)) name = c;
    }
    if (name.empty()) return -1;
    DirNode n;
    static_cast<Folder&>(n) = folder_blank(p);
    n.second = p + 1;
    if (!fat_put(f, p + 1, FAT_EOF) || !fat_put(f, p, p + 1)) return -1;
    // The chain and the blocks first, then the entry naming them.
    if (!layer_done(f, fs_attach_folder(f.vol, f.dirs[0], slot, n, stored_name(name)))) return -1;
    n.path = "/" + name;
    n.refs.push_back({0, static_cast<std::uint32_t>(slot), n.path});
    n.kept = 0;
    return static_cast<int>(add_dir(f, std::move(n), false));
}

// A FOUND directory with a free entry (made when none has), its count in
// the root set to the entries it holds (an entry cleared since leaves it
// high) so that the entry about to be added makes it right: its dirs index,
// or -1.
int found_with_room(Fsck& f) {
    const std::vector<std::uint32_t> dirs = found_dirs(f);
    int fd = -1;
    for (auto d = dirs.rbegin(); d != dirs.rend() && fd < 0 && !f.failed; ++d)
        if (folder_free_slot(f.dirs[*d]) > 0 && found_linked(f, *d)) fd = static_cast<int>(*d);
    if (fd < 0 && !f.failed) fd = create_found(f);
    if (fd < 0 || f.failed) return -1;
    const DirNode& found = f.dirs[static_cast<std::size_t>(fd)];
    std::uint8_t* own = dir_entry(f.dirs[0].image, found.refs[static_cast<std::size_t>(found.kept)].slot);
    const std::uint16_t held = dir_held(found.image);
    if (entry_size(own) != held) {
        be16_put(own + entry_field::SIZE, held);
        if (!dir_write(f, f.dirs[0])) return -1;
    }
    return fd;
}

// The root as the volume holds it, once the layer has raised the count of
// a FOUND directory there.
bool reread_root(Fsck& f) {
    Folder root;
    if (folder_read_root(f.vol, &root) != FsErr::ok) {
        f.failed = true;
        return false;
    }
    f.dirs[0].image = root.image;
    f.dirs[0].stored = root.stored;
    return true;
}

// Add the entry of an existing chain to a FOUND directory with room: true
// once it is made, false when there is no room (or a write failed).
bool add_found_entry(Fsck& f, const NewEntry& n) {
    const int fd = found_with_room(f);
    if (fd < 0) return false;
    DirNode& found = f.dirs[static_cast<std::size_t>(fd)];
    return layer_done(f, fs_create(f.vol, found, folder_free_slot(found), n, {})) && reread_root(f);
}

// A salvage that found no room: the problem stays (said once).
void no_room(Fsck& f) {
    if (!f.failed && !f.no_room_said)
        out_print("FOUND: no room to save lost blocks (they need a free root entry and two adjacent free blocks)\n");
    f.no_room_said = true;
    --f.repaired;
}

// Whether the two blocks at b form a lost directory.
bool lost_dir_at(Fsck& f, std::uint32_t b, DirImage& img) {
    if (b + 1 >= f.total || f.owner[b] != 0 || f.owner[b + 1] != 0 || fat_of(f, b) != b + 1 ||
        fat_of(f, b + 1) != FAT_EOF || f.indeg[b] != 0)
        return false;
    if (block_read(f.vol, img.data(), b) != 0 || block_read(f.vol, img.data() + BLOCK_SIZE, b + 1) != 0)
        return false;
    return entry_type(dir_entry(img, 0)) == TYPE_PARENT && img[DIR_SIGNATURE] == 'D' &&
           img[DIR_SIGNATURE + 1] == 'R';
}

// Reattach in a FOUND directory with room the lost directory n (its link
// rewritten first): true once its entry is made.
bool reattach(Fsck& f, DirNode& n, const std::string& name) {
    const int fd = found_with_room(f);
    if (fd < 0) return false;
    DirNode& found = f.dirs[static_cast<std::size_t>(fd)];
    const int slot = folder_free_slot(found);
    n.relinked = true;
    if (!layer_done(f, fs_attach_folder(f.vol, found, slot, n, stored_name(name))) || !reread_root(f)) return false;
    n.path = found.path + "/" + name;
    n.refs.push_back({static_cast<std::uint32_t>(fd), static_cast<std::uint32_t>(slot), n.path});
    n.kept = 0;
    return true;
}

// Reattach (or, unrepaired, just walk) the lost directory at b.
void attach(Fsck& f, std::uint32_t b, const DirImage& img) {
    const std::string name = next_name(f, true);
    DirNode n;
    n.start = b;
    n.second = b + 1;
    n.image = img;
    n.stored = img;
    n.loaded = true;
    std::memcpy(n.link_found.data(), dir_entry(img, 0), DIR_ENTRY_SIZE);
    n.path = fmt("(lost directory at block %u)", b);
    if (problem(f, fmt("block %u", b), fmt("directory at blocks %u-%u is reached by no entry", b, b + 1),
                ("reattached as FOUND/" + name).c_str())) {
        next_name(f, true, true);
        if (!reattach(f, n, name)) no_room(f);
    }
    add_dir(f, std::move(n), true);
    walk_all(f);
}

bool leaked(const Fsck& f, std::uint32_t b) { return in_data(f, b) && is_used(fat_of(f, b)) && f.owner[b] == 0; }

// Follow the lost chain from h and save it as a file.
void salvage_from(Fsck& f, std::uint32_t h) {
    const std::uint32_t id = new_chain(f, h, false, fmt("block %u", h));
    std::vector<std::uint32_t> blocks;
    std::uint32_t x = h;
    bool cut = false;
    for (;;) {
        claim(f, id, x);
        blocks.push_back(x);
        const std::uint32_t v = fat_of(f, x);
        if (v == FAT_EOF) break;
        if (!leaked(f, v) || blocks.size() >= MAX_FILE_BLOCKS) {
            cut = true;
            break;
        }
        x = v;
    }
    f.chains[id].length = static_cast<std::uint32_t>(blocks.size());
    const std::string name = next_name(f, false);
    const std::string what = blocks.size() == 1 ? std::string("in use but reached by no entry")
                                                : fmt("chain of %zu blocks reached by no entry", blocks.size());
    if (!problem(f, fmt("block %u", h), what, ("saved as FOUND/" + name).c_str())) return;
    next_name(f, false, true);
    if (cut) {
        fat_put(f, x, FAT_EOF);
        commit(f);
    }
    NewEntry n;
    n.name = stored_name(name);
    n.type = TYPE_SALVAGED;
    n.blocks = blocks.size();
    n.size = blocks.size();
    n.contiguous = leading_run(blocks);
    n.first = h;
    if (!add_found_entry(f, n))
        no_room(f);
    else
        ++f.files;
}

}  // namespace

void reattach_lost_dirs(Fsck& f) {
    std::vector<std::uint32_t> found;
    DirImage img;
    for_each_data_entry(f, [&](std::uint64_t b, std::uint32_t v) {
        if (v == b + 1 && lost_dir_at(f, static_cast<std::uint32_t>(b), img))
            found.push_back(static_cast<std::uint32_t>(b));
    });
    for (bool more = true; more && !f.failed;) {
        more = false;
        // First a directory whose parent is not itself lost, so a lost tree
        // comes back whole; when all are (a cycle), any of them.
        int pick = -1;
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (!lost_dir_at(f, found[i], img)) continue;
            const std::uint32_t parent = entry_start(dir_entry(img, 0));
            bool parent_lost = false;
            for (std::uint32_t c : found) parent_lost |= c == parent && f.owner[c] == 0;
            if (pick < 0 || !parent_lost) pick = static_cast<int>(i);
            if (!parent_lost) break;
        }
        if (pick < 0) break;
        lost_dir_at(f, found[static_cast<std::size_t>(pick)], img);
        attach(f, found[static_cast<std::size_t>(pick)], img);
        more = true;
    }
}

void salvage_lost_chains(Fsck& f) {
    bool any = false;
    for_each_data_entry(f, [&](std::uint64_t b, std::uint32_t v) { any |= is_used(v) && f.owner[b] == 0; });
    if (!any) return;
    ZeroArray<std::uint8_t> in = zero_array<std::uint8_t>(f.total);  // lost blocks naming each block
    if (!in) return;
    for_each_data_entry(f, [&](std::uint64_t b, std::uint32_t v) {
        if (is_used(v) && f.owner[b] == 0 && v != b && leaked(f, v) && in[v] < 255) ++in[v];
    });
    std::uint64_t b;
    for (b = f.ds; b < f.total && !f.failed; ++b)
        if (in[b] == 0 && leaked(f, static_cast<std::uint32_t>(b))) salvage_from(f, static_cast<std::uint32_t>(b));
    // What is left lies on loops, or after a chain cut at its greatest length.
    for (b = f.ds; b < f.total && !f.failed; ++b)
        if (leaked(f, static_cast<std::uint32_t>(b))) salvage_from(f, static_cast<std::uint32_t>(b));
}
