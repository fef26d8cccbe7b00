#include <cerrno>
#include <cstring>
#include <deque>
#include <set>

#include "console.h"
#include "entry.h"
#include "fat.h"
#include "mount.h"
#include "path.h"

std::vector<std::pair<int, std::string>> dir_listing(const DirImage& image) {
    std::vector<std::pair<int, std::string>> out;
    std::set<std::string> shown;
    for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(image, i);
        if (entry_type(e) == TYPE_EMPTY || entry_type(e) == TYPE_PARENT) continue;
        std::string name = name_display(e + entry_field::NAME);
        if (!shown.insert(name).second) name += "%#" + std::to_string(i);
        out.emplace_back(static_cast<int>(i), name);
    }
    return out;
}

namespace {

// First listed entry whose stored name is raw, in entry order (the entry
// that shows the plain name when several share it).
int match_stored(const DirImage& image, const RawName& raw) {
    for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(image, i);
        if (entry_type(e) != TYPE_EMPTY && entry_type(e) != TYPE_PARENT &&
            std::memcmp(e + entry_field::NAME, raw.data(), NAME_LEN) == 0)
            return static_cast<int>(i);
    }
    return -ENOENT;
}

}  // namespace

int dir_lookup(Fs& fs, const std::string& name) {
    if (name.find('%') == std::string::npos && name != "." && name != "..") {
        // Without escapes the host name is the stored name as it stands,
        // else its upper-cased form: no listing is needed.
        if (name.size() > NAME_LEN) return -ENAMETOOLONG;
        RawName raw;
        raw.fill(' ');
        std::memcpy(raw.data(), name.data(), name.size());
        int slot = match_stored(fs.wd.image, raw);
        if (slot >= 0) return slot;
        name_encode(name.c_str(), raw);
        return match_stored(fs.wd.image, raw);
    }
    const auto list = dir_listing(fs.wd.image);
    for (const auto& [slot, shown] : list)
        if (shown == name) return slot;
    RawName raw;
    if (name_encode(name.c_str(), raw) != 0) return -ENAMETOOLONG;
    for (const auto& [slot, shown] : list)
        if (std::memcmp(dir_entry(fs.wd.image, static_cast<std::size_t>(slot)) + entry_field::NAME, raw.data(),
                        NAME_LEN) == 0)
            return slot;
    return -ENOENT;
}

namespace {

// Enter subdirectory slot of the working directory: 0 or -errno.
int enter(Fs& fs, int slot) {
    if (entry_type(dir_entry(fs.wd.image, static_cast<std::size_t>(slot))) != TYPE_SUBDIR) return -ENOTDIR;
    return dir_change(fs, slot) == 0 ? 0 : -EIO;
}

}  // namespace

int walk_parent(Mount& m, const char* path, std::string* last) {
    Fs& fs = *m.fs;
    const char* slash = std::strrchr(path, '/');
    const std::string parent = slash ? std::string(path, static_cast<std::size_t>(slash - path)) : "";
    WalkMemo& memo = m.memo;
    if (slash && memo.parent == parent && memo.written == fs.vol.blocks_written && fs.wd.loaded &&
        fs.wd.current_dir->start == memo.start) {
        *last = slash + 1;
        return 0;
    }
    int r = walk_from_root(m, path, last);
    if (r == 0) memo = {parent, fs.wd.current_dir->start, fs.vol.blocks_written};
    return r;
}

int walk_from_root(Mount& m, const char* path, std::string* last) {
    Fs& fs = *m.fs;
    m.memo.written = ~std::uint64_t{0};
    if (dir_reset_root(fs) != 0) return -EIO;
    last->clear();
    std::string comp;
    for (const char* p = path;; ++p) {
        if (*p != '/' && *p != '\0') {
            comp += *p;
            continue;
        }
        if (!comp.empty()) {
            if (!last->empty()) {
                int slot = dir_lookup(fs, *last);
                if (slot < 0) return slot == -ENAMETOOLONG ? -ENOENT : slot;
                if (int r = enter(fs, slot)) return r;
            }
            *last = comp;
            comp.clear();
        }
        if (*p == '\0') return 0;
    }
}

int goto_dir(Mount& m, const std::vector<int>& slots) {
    Fs& fs = *m.fs;
    m.memo.written = ~std::uint64_t{0};
    if (dir_reset_root(fs) != 0) return -EIO;
    for (int s : slots)
        if (int r = enter(fs, s)) return r == -ENOTDIR ? -EIO : r;
    return 0;
}

namespace {

// Walk every directory once, breadth first, from the root.
void census_build(Mount& m) {
    Census& c = m.census;
    c.dir_paths.clear();
    c.sharers.clear();
    Fs& fs = *m.fs;
    const std::uint64_t total = total_blocks(fs.vol);
    std::deque<std::uint64_t> queue{ROOT_DIR_BLOCK};
    c.dir_paths[ROOT_DIR_BLOCK] = {};
    while (!queue.empty()) {
        const std::uint64_t start = queue.front();
        queue.pop_front();
        DirImage image;
        if (dir_transfer(fs, image.data(), start, Direction::read) != 0) continue;
        for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
            const std::uint8_t* e = dir_entry(image, i);
            const std::uint8_t type = entry_type(e);
            const std::uint64_t first = entry_start(e);
            if (type == TYPE_EMPTY || type == TYPE_PARENT) continue;
            c.sharers[first].emplace_back(start, static_cast<int>(i));
            if (type != TYPE_SUBDIR || first >= total || first < data_start(static_cast<std::uint32_t>(total)) ||
                c.dir_paths.count(first))
                continue;
            std::vector<int> p = c.dir_paths[start];
            p.push_back(static_cast<int>(i));
            c.dir_paths[first] = std::move(p);
            queue.push_back(first);
        }
    }
    c.valid = true;
}

}  // namespace

const Census& census(Mount& m) {
    if (!m.census.valid) census_build(m);
    return m.census;
}

std::size_t link_count(Mount& m, std::uint64_t start) {
    const Census& c = census(m);
    auto it = c.sharers.find(start);
    return it == c.sharers.end() || it->second.empty() ? 1 : it->second.size();
}

int goto_dir_start(Mount& m, std::uint64_t start) {
    const Census& c = census(m);
    auto it = c.dir_paths.find(start);
    if (it == c.dir_paths.end()) return -EIO;
    const std::vector<int> slots = it->second;
    if (int r = goto_dir(m, slots)) return r;
    return m.fs->wd.current_dir->start == start ? 0 : -EIO;
}

namespace {

// Raise the working directory's count in its parent by one and come back,
// the count made durable: 0, or -EIO when the way back failed.
int parent_count_raise(Fs& fs) {
    const std::uint8_t* link = dir_entry(fs.wd.image, 0);
    const int own = entry_contiguous(link);
    if (own > static_cast<int>(MAX_ENTRY_NR) || entry_type(link) == TYPE_SUBDIR) {
        err_print("warning: parent link damaged, count not updated.\n");
        return 0;
    }
    if (dir_change(fs, 0) != 0) return -EIO;
    std::uint8_t* pe = dir_entry(fs.wd.image, static_cast<std::size_t>(own));
    be16_put(pe + entry_field::SIZE, static_cast<std::uint16_t>(entry_size(pe) + 1));
    if (dir_store(fs) != 0) err_print("error: can't write directory.\n");
    volume_barrier(fs.vol);
    return dir_change(fs, own) == 0 ? 0 : -EIO;
}

}  // namespace

int entry_place(Mount& m, int slot, const std::uint8_t* entry) {
    Fs& fs = *m.fs;
    m.census.valid = false;
    // The count first: a crash in between leaves it one too high, never low.
    if (!in_root(fs) && parent_count_raise(fs) != 0) return -EIO;
    std::uint8_t* e = dir_entry(fs.wd.image, static_cast<std::size_t>(slot));
    std::memcpy(e, entry, DIR_ENTRY_SIZE);
    if (dir_store(fs) != 0) {
        std::memset(e, 0, DIR_ENTRY_SIZE);
        return -EIO;
    }
    return 0;
}

int chain_alloc(Mount& m, std::uint64_t blocks, std::uint64_t* start, std::uint64_t* contig) {
    Volume& v = m.fs->vol;
    if (blocks > MAX_FILE_BLOCKS) return -EFBIG;
    if (blocks > free_counter(v)) return -ENOSPC;
    const std::uint32_t counter = free_counter(v);
    int r = fat_alloc_chain(v, start, blocks, contig);
    if (r == -3) {
        std::uint64_t s = *start, freed = 0;
        fat_free_chain(v, &s, blocks, &freed);
        set_free_counter(v, counter);
    }
    if (r < 0) return r == -2 ? -ENOSPC : -EIO;
    return 0;
}

int chain_write_new(Mount& m, const std::uint8_t* data, std::uint64_t blocks, std::uint64_t want_run,
                    std::uint64_t* start, std::uint64_t* contig) {
    Volume& v = m.fs->vol;
    *start = data_start(total_blocks(v));
    *contig = want_run;
    if (int r = chain_alloc(m, blocks, start, contig)) return r;
    if (chain_transfer(v, const_cast<std::uint8_t*>(data), *start, *contig, blocks, Direction::write) < 0 ||
        fat_commit(v) != 0) {
        blocks_release(v, *start, blocks);
        fat_commit(v);
        return -EIO;
    }
    return 0;
}

void chain_release_unshared(Mount& m, std::uint64_t start, std::uint64_t limit) {
    Volume& v = m.fs->vol;
    const std::uint32_t total = total_blocks(v);
    if (start < data_start(total) || start >= total) return;
    m.census.valid = false;
    auto it = census(m).sharers.find(start);
    if (it != m.census.sharers.end() && !it->second.empty()) return;
    if (volume_barrier(v) != 0) return;  // the entry's removal is durable first
    // The freed FAT entries go out with the next commit: lost before that,
    // they are only blocks that no entry names.
    blocks_release(v, start, limit == 0 ? CHAIN_ALL : limit);
}
