// Pass 4: blocks marked used that no entry reaches. Whole lost directories
// are reattached in FOUND (and walked like any other); every other lost
// chain is saved there as a file FILEnnnn of type 31. FOUND, FOUND2, ...
// are made in the root as needed. An entry is added only after its chain
// is mended, and a directory's count is raised before the entry appears.
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

std::uint32_t free_slot(const DirImage& img) {
    for (std::uint32_t i = 1; i <= MAX_ENTRY_NR; ++i)
        if (entry_type(dir_entry(img, i)) == TYPE_EMPTY) return i;
    return 0;
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

void put_entry(std::uint8_t* e, std::uint8_t type, const std::string& name, std::uint16_t size,
               std::uint16_t cont, std::uint32_t start) {
    std::memset(e, 0, DIR_ENTRY_SIZE);
    e[entry_field::TYPE] = type;
    std::memset(e + entry_field::NAME, ' ', NAME_LEN);
    std::memcpy(e + entry_field::NAME, name.data(), name.size() < NAME_LEN ? name.size() : NAME_LEN);
    be16_put(e + entry_field::SIZE, size);
    be16_put(e + entry_field::CONTIGUOUS, cont);
    be32_put(e + entry_field::START, start);
}

bool root_name_taken(const Fsck& f, const std::string& name) {
    std::uint8_t padded[NAME_LEN];
    std::memset(padded, ' ', NAME_LEN);
    std::memcpy(padded, name.data(), name.size());
    for (std::uint32_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(f.dirs[0].image, i);
        if (entry_type(e) != TYPE_EMPTY && std::memcmp(e + entry_field::NAME, padded, NAME_LEN) == 0) return true;
    }
    return false;
}

// A new empty FOUND directory in the root: its dirs index, or -1.
int create_found(Fsck& f) {
    const std::uint32_t slot = free_slot(f.dirs[0].image);
    const std::uint32_t p = slot ? find_free(f, true) : 0;
    if (p == 0) return -1;
    std::string name;
    for (int k = 1; k < 100 && name.empty(); ++k) {
        const std::string c = k == 1 ? std::string("FOUND") : fmt("FOUND%d", k);
        if (!root_name_taken(f, c)) name = c;
    }
    if (name.empty()) return -1;
    DirNode n;
    n.block = p;
    n.second = p + 1;
    put_entry(dir_entry(n.image, 0), TYPE_PARENT, "ROOT", 0, static_cast<std::uint16_t>(slot), ROOT_DIR_BLOCK);
    n.image[DIR_SIGNATURE] = 'D';
    n.image[DIR_SIGNATURE + 1] = 'R';
    fat_put(f, p + 1, FAT_EOF);
    fat_put(f, p, p + 1);
    dir_write(f, n);  // chain and blocks first, then the entry naming them
    put_entry(dir_entry(f.dirs[0].image, slot), TYPE_SUBDIR, name, 0, 2, p);
    dir_write(f, f.dirs[0]);
    n.path = "/" + name;
    n.refs.push_back({0, slot, n.path});
    n.kept = 0;
    const std::uint32_t idx = add_dir(f, std::move(n), false);
    return f.failed ? -1 : static_cast<int>(idx);
}

// Add an entry to a FOUND directory with room (made when none has): the
// directory's count in the root is raised first. The entry's slot in
// *dir, or 0 when there is no room at all.
std::uint32_t add_found_entry(Fsck& f, std::uint8_t type, const std::string& name, std::uint16_t size,
                              std::uint16_t cont, std::uint32_t start, std::uint32_t* dir) {
    int fd = -1;
    for (std::uint32_t d : found_dirs(f))
        if (free_slot(f.dirs[d].image) != 0) fd = static_cast<int>(d);
    if (fd < 0) fd = create_found(f);
    if (fd < 0 || f.failed) return 0;
    *dir = static_cast<std::uint32_t>(fd);
    const DirRef r = f.dirs[*dir].refs[static_cast<std::size_t>(f.dirs[*dir].kept)];
    std::uint8_t* own = dir_entry(f.dirs[0].image, r.slot);
    be16_put(own + entry_field::SIZE, static_cast<std::uint16_t>(dir_held(f.dirs[*dir].image) + 1));
    dir_write(f, f.dirs[0]);
    const std::uint32_t slot = free_slot(f.dirs[*dir].image);
    put_entry(dir_entry(f.dirs[*dir].image, slot), type, name, size, cont, start);
    dir_write(f, f.dirs[*dir]);
    return f.failed ? 0 : slot;
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

// Reattach (or, unrepaired, just walk) the lost directory at b.
void attach(Fsck& f, std::uint32_t b, const DirImage& img) {
    const std::string name = next_name(f, true);
    DirNode n;
    n.block = b;
    n.second = b + 1;
    n.image = img;
    n.path = fmt("(lost directory at block %u)", b);
    if (problem(f, fmt("block %u", b), fmt("directory at blocks %u-%u is reached by no entry", b, b + 1),
                ("reattached as FOUND/" + name).c_str())) {
        next_name(f, true, true);
        std::uint32_t fd = 0;
        const std::uint32_t slot = add_found_entry(f, TYPE_SUBDIR, name, dir_held(img), 2, b, &fd);
        if (slot != 0) {
            n.path = f.dirs[fd].path + "/" + name;
            n.refs.push_back({fd, slot, n.path});
            n.kept = 0;
        } else {
            no_room(f);
        }
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
    std::uint32_t fd = 0;
    if (add_found_entry(f, TYPE_SALVAGED, name, static_cast<std::uint16_t>(blocks.size()),
                        static_cast<std::uint16_t>(leading_run(blocks)), h, &fd) == 0)
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
