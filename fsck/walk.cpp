// Pass 1: every directory from the root, breadth first, and the entries in
// it. Files go to the chain checks; subdirectories are read, their two-block
// chains checked (and rebuilt or moved when broken) and queued.
#include <cstring>

#include "console.h"
#include "fsck.h"

namespace {

bool has_dir_signature(const DirImage& img) {
    return img[DIR_SIGNATURE] == 'D' && img[DIR_SIGNATURE + 1] == 'R';
}

void check_signature(Fsck& f, std::uint32_t d) {
    if (has_dir_signature(f.dirs[d].image)) return;
    if (!problem(f, f.dirs[d].path, "directory lacks its signature", act(f, d, "signature written"))) return;
    f.dirs[d].image[DIR_SIGNATURE] = 'D';
    f.dirs[d].image[DIR_SIGNATURE + 1] = 'R';
    dir_write(f, f.dirs[d]);
}

void check_entry(Fsck& f, std::uint32_t d, std::uint32_t slot) {
    const std::uint8_t* e = dir_entry(f.dirs[d].image, slot);
    const std::uint8_t type = entry_type(e);
    if (type == TYPE_EMPTY) return;
    const bool root = d == 0;
    const std::string who = f.dirs[d].path + "/" + entry_name(f.dirs[d], slot);
    if (type == TYPE_PARENT) {
        if ((root || slot != 0) && problem(f, who, "parent link out of place", act(f, d, "entry cleared")))
            clear_entry(f, d, slot);
        return;
    }
    if (slot == 0 && !root) return;  // the parent link's place: pass 4
    const std::uint32_t start = entry_start(e);
    if (!in_data(f, start)) {
        if (problem(f, who, fmt("first block %u lies outside the data area", start), act(f, d, "entry cleared")))
            clear_entry(f, d, slot);
        return;
    }
    if (type == TYPE_SUBDIR)
        check_subdir(f, d, slot, who);
    else
        check_file(f, d, slot, who);
}

void walk_dir(Fsck& f, std::uint32_t d) {
    check_signature(f, d);
    if (f.verbose) {
        int used = 0;
        for (std::size_t i = 0; i < DIR_ENTRIES; ++i) used += entry_type(dir_entry(f.dirs[d].image, i)) != 0;
        out_print("checking %s/ (block %u, %d entries)\n", f.dirs[d].path.c_str(),
                  static_cast<std::uint32_t>(f.dirs[d].start), used);
    }
    for (std::uint32_t slot = 0; slot < DIR_ENTRIES && !f.failed; ++slot) check_entry(f, d, slot);
}

// Read the two blocks b and second (0: none) as a directory image.
bool read_dir(Fsck& f, std::uint32_t b, std::uint32_t second, DirImage& img) {
    img.fill(0);
    if (block_read(f.vol, img.data(), b) != 0) return false;
    return second == 0 || block_read(f.vol, img.data() + BLOCK_SIZE, second) == 0;
}

// What is wrong with the two-block chain of the directory at b.
std::string dir_chain_fault(const Fsck& f, std::uint32_t b) {
    const std::uint32_t n1 = fat_of(f, b);
    if (f.owner[b] != 0) return fmt("block %u is also in the chain of %s", b, f.chains[f.owner[b] - 1].owner.c_str());
    if (n1 == FAT_FREE) return fmt("directory block %u is free", b);
    if (n1 == FAT_BAD) return fmt("directory block %u is marked bad", b);
    if (n1 != b + 1 || b + 1 >= f.total) return "directory chain is not two adjacent blocks";
    if (f.owner[b + 1] != 0)
        return fmt("block %u is also in the chain of %s", b + 1, f.chains[f.owner[b + 1] - 1].owner.c_str());
    if (fat_of(f, b + 1) == FAT_FREE) return fmt("directory block %u is free", b + 1);
    return "directory chain is not two blocks long";
}

// Free the blocks of a directory's old chain that no other entry holds and
// that are not its new pair (kept, kept + 1): its first block b when
// with_first, and n1 when the chain ends there.
void free_old_dir_chain(Fsck& f, std::uint32_t b, std::uint32_t n1, bool with_first, std::uint32_t kept) {
    auto spare = [&](std::uint32_t x) { return x != kept && x != kept + 1 && f.owner[x] == 0; };
    if (with_first && spare(b) && is_used(fat_of(f, b))) fat_put(f, b, FAT_FREE);
    if (in_data(f, n1) && n1 != b && spare(n1) && fat_of(f, n1) == FAT_EOF) fat_put(f, n1, FAT_FREE);
    commit(f);
}

// Write the image of a directory onto the adjacent blocks from p, before
// the FAT links them, and make it durable.
bool place_dir(Fsck& f, std::uint32_t p, const DirImage& img) {
    if (f.failed) return false;
    Folder placed;
    placed.start = p;
    placed.image = img;
    if (folder_write_run(f.vol, placed) != FsErr::ok || volume_barrier(f.vol) != 0) {
        err_print("error: can't write directory.\n");
        f.failed = true;
    }
    return !f.failed;
}

// Repair the chain of the directory at b, whose image img came from b and
// second: rebuilt in place as b, b+1 or moved to two free blocks. The first
// block it ends on, or 0 when it was left as it is.
std::uint32_t repair_dir_chain(Fsck& f, std::uint32_t d, std::uint32_t slot, const std::string& who,
                               std::uint32_t b, std::uint32_t second, const DirImage& img) {
    const std::uint32_t n1 = fat_of(f, b);
    const std::uint32_t c = b + 1;
    // In place when b and b + 1 are not held by another chain: a chain that
    // still runs into b + 1 later finds it held and takes a copy.
    const bool in_place = f.owner[b] == 0 && n1 != FAT_BAD && c < f.total && f.owner[c] == 0 &&
                          fat_of(f, c) != FAT_BAD &&
                          (n1 == c || fat_of(f, c) == FAT_FREE || (second == c && fat_of(f, c) == FAT_EOF));
    const std::uint32_t p = in_place || !f.dirs[d].writable ? 0 : find_free(f, true);
    const std::string action = in_place ? "chain rebuilt" : fmt("directory moved to blocks %u-%u", p, p + 1);
    if (!problem(f, who, dir_chain_fault(f, b), in_place || p != 0 ? action.c_str() : nullptr)) return 0;
    // The blocks hold the directory before the FAT links them (in place,
    // b + 1 needs it when the old second block was another one).
    if ((!in_place || second != c) && !place_dir(f, in_place ? b : p, img)) return 0;
    if (in_place) {
        fat_put(f, c, FAT_EOF);
        fat_put(f, b, c);
        commit(f);
        free_old_dir_chain(f, b, n1 != c ? n1 : 0, false, b);
        return f.failed ? 0 : b;
    }
    fat_put(f, p + 1, FAT_EOF);
    fat_put(f, p, p + 1);
    std::uint8_t* e = dir_entry(f.dirs[d].image, slot);
    be32_put(e + entry_field::START, p);
    be16_put(e + entry_field::CONTIGUOUS, 2);
    dir_write(f, f.dirs[d]);                // the FAT goes first, then the entry
    free_old_dir_chain(f, b, n1, true, p);  // the entry no longer names it
    return f.failed ? 0 : p;
}

}  // namespace

void clear_entry(Fsck& f, std::uint32_t d, std::uint32_t slot) {
    dir_entry(f.dirs[d].image, slot)[entry_field::TYPE] = TYPE_EMPTY;
    dir_write(f, f.dirs[d]);
}

void check_subdir(Fsck& f, std::uint32_t d, std::uint32_t slot, const std::string& who) {
    const std::uint32_t b = entry_start(dir_entry(f.dirs[d].image, slot));
    if (auto it = f.dir_at.find(b); it != f.dir_at.end()) {
        f.dirs[it->second].refs.push_back({d, slot, who});  // a second path: pass 3
        return;
    }
    const std::uint32_t n1 = fat_of(f, b);
    const std::uint32_t second = in_data(f, n1) && n1 != b ? n1 : (b + 1 < f.total ? b + 1 : 0);
    DirImage img;
    if (!read_dir(f, b, second, img)) {
        // A read error is no reason to give up the entry: leave it, and keep
        // its blocks from being taken for lost ones.
        problem(f, who, fmt("directory blocks %u and %u unreadable", b, second), nullptr);
        claim_dir_blocks(f, b, second, who);
        return;
    }
    if (entry_type(dir_entry(img, 0)) != TYPE_PARENT && !has_dir_signature(img)) {
        if (problem(f, who, fmt("block %u holds no directory", b), act(f, d, "entry cleared"))) clear_entry(f, d, slot);
        return;
    }
    const bool good = n1 == b + 1 && second == b + 1 && fat_of(f, b + 1) == FAT_EOF && f.owner[b] == 0 &&
                      f.owner[b + 1] == 0;
    std::uint32_t first = good ? b : repair_dir_chain(f, d, slot, who, b, second, img);
    DirNode node;
    node.start = first != 0 ? first : b;
    node.second = first != 0 ? first + 1 : second;
    node.parent = f.dirs[d].start;
    std::memcpy(node.name.data(), dir_entry(f.dirs[d].image, slot) + entry_field::NAME, NAME_LEN);
    node.image = img;
    node.stored = img;
    node.loaded = true;
    node.path = who;
    node.refs.push_back({d, slot, who});
    node.kept = 0;
    node.writable = (good || first != 0) && node.second != 0;
    f.dir_at[b] = add_dir(f, std::move(node), true);
}

void claim_dir_blocks(Fsck& f, std::uint32_t b, std::uint32_t second, const std::string& who) {
    const std::uint32_t id = new_chain(f, b, true, who);
    f.chains[id].length = 2;
    for (std::uint32_t blk : {b, second})
        if (blk != 0 && f.owner[blk] == 0) claim(f, id, blk);
}

std::uint32_t add_dir(Fsck& f, DirNode node, bool walk) {
    const auto idx = static_cast<std::uint32_t>(f.dirs.size());
    claim_dir_blocks(f, static_cast<std::uint32_t>(node.start), node.second, node.path);
    f.dir_at[static_cast<std::uint32_t>(node.start)] = idx;
    f.dirs.push_back(std::move(node));
    if (walk) f.queue.push_back(idx);
    return idx;
}

void walk_all(Fsck& f) {
    while (!f.queue.empty() && !f.failed) {
        const std::uint32_t d = f.queue.front();
        f.queue.pop_front();
        walk_dir(f, d);
    }
}
