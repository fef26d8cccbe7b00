#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "entry.h"
#include "fat.h"
#include "mount.h"
#include "path.h"

namespace {

// Entry numbers from the root to the working directory.
std::vector<int> wd_slots(const Fs& fs) {
    std::vector<int> slots;
    for (const PathNode* n = fs.wd.root.next; n; n = n->next) slots.push_back(n->number);
    return slots;
}

// True when the directory at start is on the path to the working directory.
bool on_wd_path(const Fs& fs, std::uint64_t start) {
    for (const PathNode* n = &fs.wd.root; n; n = n->next)
        if (n->start == start) return true;
    return false;
}

struct Side {
    std::vector<int> path;   // entry numbers from the root to the directory
    std::uint64_t dir = 0;   // its first block
    std::array<char, NAME_LEN + 1> dir_name{};
    int slot = -1;           // entry number, -1 when absent
    std::uint8_t entry[DIR_ENTRY_SIZE] = {};
};

void side_take(Fs& fs, Side* s, int slot) {
    s->path = wd_slots(fs);
    s->dir = fs.wd.current_dir->start;
    s->dir_name = fs.wd.current_dir->name;
    s->slot = slot;
    if (slot >= 0) std::memcpy(s->entry, dir_entry(fs.wd.image, static_cast<std::size_t>(slot)), DIR_ENTRY_SIZE);
}

bool is_dir(const std::uint8_t* e) { return entry_type(e) == TYPE_SUBDIR; }

// What POSIX allows when the target exists: 0 to go on, 1 when both names
// are one file already, or -errno.
int replace_check(Mount& m, const Side& src, const Side& dst, unsigned flags) {
    if (flags & RENAME_NOREPLACE) return -EEXIST;
    if (!is_dir(src.entry) && !is_dir(dst.entry) && entry_start(src.entry) == entry_start(dst.entry)) return 1;
    if (is_dir(dst.entry)) {
        if (!is_dir(src.entry)) return -EISDIR;
        DirImage image;
        if (dir_transfer(*m.fs, image.data(), entry_start(dst.entry), Direction::read) != 0) return -EIO;
        for (std::size_t i = 1; i < DIR_ENTRIES; ++i)
            if (entry_type(dir_entry(image, i)) != TYPE_EMPTY) return -ENOTEMPTY;
    } else if (is_dir(src.entry)) {
        return -ENOTDIR;
    }
    return 0;
}

void node_rekey(Mount& m, const EntryKey& from, const EntryKey& to) {
    auto old = m.nodes.find(to);
    if (old != m.nodes.end()) {
        old->second->orphan = true;
        m.nodes.erase(old);
    }
    auto it = m.nodes.find(from);
    if (it == m.nodes.end()) return;
    auto n = it->second;
    m.nodes.erase(it);
    n->key = to;
    m.nodes[to] = n;
}

// Rename within one directory: the source takes its new name in place,
// then a replaced entry goes.
int rename_here(Mount& m, const Side& src, const Side& dst, const RawName& raw) {
    Fs& fs = *m.fs;
    if (dst.slot >= 0 && dst.slot != src.slot) node_detach(m, {dst.dir, dst.slot});
    std::uint8_t* e = dir_entry(fs.wd.image, static_cast<std::size_t>(src.slot));
    std::memcpy(e + entry_field::NAME, raw.data(), NAME_LEN);
    if (dir_store(fs) != 0) {
        std::memcpy(e, src.entry, DIR_ENTRY_SIZE);
        return -EIO;
    }
    if (dst.slot < 0 || dst.slot == src.slot) return 0;
    const std::uint64_t start = entry_start(dst.entry);
    const std::uint64_t limit = is_dir(dst.entry) ? 2 : entry_size(dst.entry);
    node_rekey(m, {dst.dir, dst.slot}, {dst.dir, dst.slot});
    int r = entry_delete(fs, static_cast<std::uint32_t>(dst.slot), 0);
    m.census.valid = false;
    if (r != 0 && r > -6) return -EIO;
    chain_release_unshared(m, start, limit);
    return 0;
}

// Point the parent link of a moved directory at its new parent.
int relink_parent(Mount& m, const Side& dst, int slot) {
    Fs& fs = *m.fs;
    if (goto_dir(m, dst.path) != 0 || dir_change(fs, slot) != 0) return -EIO;
    std::uint8_t* link = dir_entry(fs.wd.image, 0);
    std::memcpy(link + entry_field::NAME, dst.dir_name.data(), NAME_LEN);
    be32_put(link + entry_field::START, static_cast<std::uint32_t>(dst.dir));
    be16_put(link + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(slot));
    return dir_store(fs) == 0 ? 0 : -EIO;
}

// Rename into another directory: the new entry first (in place of a
// replaced one), then the old entry goes, then the replaced chain.
int rename_across(Mount& m, const Side& src, const Side& dst, const RawName& raw) {
    Fs& fs = *m.fs;
    if (dst.slot >= 0) node_detach(m, {dst.dir, dst.slot});
    std::uint8_t e[DIR_ENTRY_SIZE];
    std::memcpy(e, src.entry, DIR_ENTRY_SIZE);
    std::memcpy(e + entry_field::NAME, raw.data(), NAME_LEN);
    int slot = dst.slot;
    m.census.valid = false;
    if (slot >= 0) {
        std::uint8_t* d = dir_entry(fs.wd.image, static_cast<std::size_t>(slot));
        std::memcpy(d, e, DIR_ENTRY_SIZE);
        if (dir_store(fs) != 0) {
            std::memcpy(d, dst.entry, DIR_ENTRY_SIZE);
            return -EIO;
        }
    } else {
        slot = dir_find_free_slot(fs);
        if (slot < 0) return -ENOSPC;
        if (int r = entry_place(m, slot, e)) return r;
    }
    if (is_dir(e) && relink_parent(m, dst, slot) != 0) err_print("error: can't write directory.\n");
    // The new place is durable before the old one is cleared.
    if (volume_barrier(fs.vol) != 0) return -EIO;
    if (goto_dir(m, src.path) != 0 || fs.wd.current_dir->start != src.dir) return -EIO;
    const std::uint8_t* old = dir_entry(fs.wd.image, static_cast<std::size_t>(src.slot));
    if (entry_start(old) != entry_start(src.entry) || entry_type(old) != entry_type(src.entry)) return -EIO;
    int r = entry_delete(fs, static_cast<std::uint32_t>(src.slot), 0);
    if (r != 0 && r > -6) return -EIO;
    node_rekey(m, {src.dir, src.slot}, {dst.dir, slot});
    if (dst.slot >= 0)
        chain_release_unshared(m, entry_start(dst.entry), is_dir(dst.entry) ? 2 : entry_size(dst.entry));
    return 0;
}

}  // namespace

int op_rename(Mount& m, const char* from, const char* to, unsigned flags) {
    if (flags & ~unsigned{RENAME_NOREPLACE}) return -EINVAL;
    if (int r = op_writable(m)) return r;
    Fs& fs = *m.fs;
    std::string last;
    if (int r = walk_parent(m, from, &last)) return r;
    if (last.empty()) return -EBUSY;
    Side src, dst;
    int s = dir_lookup(fs, last);
    if (s < 0) return s;
    side_take(fs, &src, s);
    if (int r = walk_parent(m, to, &last)) return r;
    if (last.empty()) return -EBUSY;
    RawName raw;
    if (name_encode(last.c_str(), raw) != 0) return -ENAMETOOLONG;
    if (is_dir(src.entry) && on_wd_path(fs, entry_start(src.entry))) return -EINVAL;
    int d = dir_lookup(fs, last);
    if (d < 0 && d != -ENOENT) return d;
    side_take(fs, &dst, d < 0 ? -1 : d);
    const bool same_entry = dst.dir == src.dir && dst.slot == src.slot;
    if (d >= 0 && !same_entry) {
        int r = replace_check(m, src, dst, flags);
        if (r != 0) return r < 0 ? r : 0;
    }
    if (dst.dir == src.dir) return rename_here(m, src, dst, raw);
    return rename_across(m, src, dst, raw);
}
