// Folders by first block: reading, writing with the entry-19 order,
// listing, looking up names and resolving paths from the root.
#include <cstring>
#include <deque>
#include <set>
#include <unordered_set>

#include "console.h"
#include "fat.h"
#include "fsys.h"

int folder_transfer(Volume& v, std::uint8_t* buf, std::uint64_t start, Direction dir) {
    // The root is the run of blocks 3 and 4; any other folder a chain.
    const std::uint64_t contiguous = start == ROOT_DIR_BLOCK ? 3 : 0;
    int r = chain_transfer(v, buf, start, contiguous, 2, dir);
    return r < 0 ? r : 0;
}

FsErr folder_read(Volume& v, std::uint64_t start, std::uint64_t parent, const RawName& name, Folder* out) {
    const std::uint32_t total = total_blocks(v);
    DirImage scratch;
    if (folder_transfer(v, scratch.data(), start, Direction::read) != 0) return FsErr::read_error;
    // Blocks outside the data area are never taken for a folder (whose
    // writes would land in the FAT), even when they could be read.
    if (start != ROOT_DIR_BLOCK && (start < data_start(total) || start >= total)) return FsErr::damaged;
    out->start = start;
    out->parent = parent;
    out->name = name;
    out->image = scratch;
    out->stored = scratch;
    out->loaded = true;
    return FsErr::ok;
}

FsErr folder_read_root(Volume& v, Folder* out) {
    RawName root;
    std::memcpy(root.data(), ROOT_NAME, NAME_LEN);
    return folder_read(v, ROOT_DIR_BLOCK, 0, root, out);
}

FsErr folder_child(Volume& v, const Folder& parent, int slot, Folder* out) {
    if (slot < 1 || slot > static_cast<int>(MAX_ENTRY_NR)) return FsErr::bad_slot;
    const std::uint8_t* e = folder_entry(parent, slot);
    if (entry_type(e) == TYPE_EMPTY) return FsErr::no_entry;
    if (entry_type(e) != TYPE_SUBDIR) return FsErr::not_folder;
    RawName name;
    std::memcpy(name.data(), e + entry_field::NAME, NAME_LEN);
    return folder_read(v, entry_start(e), parent.start, name, out);
}

namespace {

// The type byte of entry 19, the entry whose bytes 494-519 straddle the two
// blocks of a folder: type, name, size and contiguous count in the first,
// the first block in the second.
constexpr std::size_t STRADDLE_TYPE = 19 * DIR_ENTRY_SIZE + entry_field::TYPE;

enum class Straddle { none, second_first, first_first };

// Which block of the image must reach the volume first so that a crash
// between the two writes never leaves half of entry 19: when it appears the
// block without its type byte, when it goes the block with it. Only matters
// when both blocks change.
Straddle straddle_order(const DirImage& from, const DirImage& to) {
    if (std::memcmp(from.data(), to.data(), BLOCK_SIZE) == 0 ||
        std::memcmp(from.data() + BLOCK_SIZE, to.data() + BLOCK_SIZE, BLOCK_SIZE) == 0)
        return Straddle::none;
    const bool was = from[STRADDLE_TYPE] != TYPE_EMPTY;
    const bool is = to[STRADDLE_TYPE] != TYPE_EMPTY;
    if (!was && is) return Straddle::second_first;
    if (was && !is) return Straddle::first_first;
    return Straddle::none;
}

// Second block of the folder at start, when its chain leads to a block
// that can be written; false otherwise (the plain transfer reports why).
bool second_block(Volume& v, std::uint64_t start, std::uint64_t* b1) {
    if (start == ROOT_DIR_BLOCK) {
        *b1 = ROOT_DIR_BLOCK + 1;
        return true;
    }
    const std::int64_t e = fat_get(v, start);
    if (e <= FAT_BAD || static_cast<std::uint64_t>(e) >= total_blocks(v)) return false;
    *b1 = static_cast<std::uint64_t>(e);
    return true;
}

// Write the image's two blocks one at a time in the given order, with a
// barrier between them: 0 or -1.
int write_ordered(Volume& v, const DirImage& image, std::uint64_t start, std::uint64_t b1, Straddle order) {
    const std::uint8_t* img = image.data();
    const bool second = order == Straddle::second_first;
    if (block_write(v, second ? img + BLOCK_SIZE : img, second ? b1 : start) != 0) return -1;
    if (volume_barrier(v) != 0) return -1;
    return block_write(v, second ? img : img + BLOCK_SIZE, second ? start : b1) != 0 ? -1 : 0;
}

}  // namespace

FsErr folder_write(Volume& v, Folder& f) {
    if (v.read_only) return FsErr::read_only;
    if (!f.loaded) {
        // An image that holds no folder would wipe the one on the volume.
        err_print("error: can't read directory or data corrupt.\n");
        return FsErr::damaged;
    }
    const Straddle order = straddle_order(f.stored, f.image);
    std::uint64_t b1;
    int r;
    if (order != Straddle::none && second_block(v, f.start, &b1))
        r = write_ordered(v, f.image, f.start, b1, order);
    else
        r = folder_transfer(v, f.image.data(), f.start, Direction::write);
    if (r != 0) return FsErr::write_error;
    f.stored = f.image;
    return FsErr::ok;
}

int folder_free_slot(const Folder& f) {
    for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i)
        if (entry_type(folder_entry(f, i)) == TYPE_EMPTY) return i;
    return -1;
}

int folder_used(const Folder& f) {
    int n = 0;
    for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i) n += entry_type(folder_entry(f, i)) != TYPE_EMPTY;
    return n;
}

std::vector<std::pair<int, std::string>> folder_listing(const DirImage& image) {
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

int folder_find_raw(const Folder& f, const RawName& raw) {
    for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(f.image, i);
        if (entry_type(e) != TYPE_EMPTY && entry_type(e) != TYPE_PARENT &&
            std::memcmp(e + entry_field::NAME, raw.data(), NAME_LEN) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

namespace {

// A name without escapes: the stored name as it stands, else its
// upper-cased form, with no listing needed.
FsErr lookup_plain(const Folder& f, std::string_view name, int* slot) {
    if (name.size() > NAME_LEN) return FsErr::name_too_long;
    RawName raw;
    raw.fill(' ');
    std::memcpy(raw.data(), name.data(), name.size());
    *slot = folder_find_raw(f, raw);
    if (*slot >= 0) return FsErr::ok;
    name_encode(std::string(name).c_str(), raw);
    *slot = folder_find_raw(f, raw);
    return *slot >= 0 ? FsErr::ok : FsErr::no_entry;
}

}  // namespace

FsErr folder_lookup(const Folder& f, std::string_view name, int* slot) {
    if (name.find('%') == std::string_view::npos && name != "." && name != "..") return lookup_plain(f, name, slot);
    const auto list = folder_listing(f.image);
    for (const auto& [s, shown] : list)
        if (shown == name) {
            *slot = s;
            return FsErr::ok;
        }
    RawName raw;
    if (name_encode(std::string(name).c_str(), raw) != 0) return FsErr::name_too_long;
    *slot = folder_find_raw(f, raw);
    return *slot >= 0 ? FsErr::ok : FsErr::no_entry;
}

std::vector<std::string> fs_path_parts(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) parts.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

namespace {

// Stored form of the last component, for an entry that may not exist yet.
FsErr last_name(std::string_view comp, RawName* raw) {
    return name_encode(std::string(comp).c_str(), *raw) == 0 ? FsErr::ok : FsErr::name_too_long;
}

}  // namespace

FsErr fs_resolve(Volume& v, std::string_view path, Lookup* out) {
    const auto parts = fs_path_parts(path);
    // A path longer than the volume has folders loops through linked ones.
    if (parts.size() > total_blocks(v) / 2 + 1) return FsErr::damaged;
    if (FsErr e = folder_read_root(v, &out->folder); e != FsErr::ok) return e;
    out->root = parts.empty();
    out->slot = -1;
    out->name = out->folder.name;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        int slot = -1;
        FsErr e = folder_lookup(out->folder, parts[i], &slot);
        if (i + 1 == parts.size()) {
            if (e == FsErr::no_entry) return last_name(parts[i], &out->name);
            if (e != FsErr::ok) return e;
            out->slot = slot;
            std::memcpy(out->name.data(), folder_entry(out->folder, slot) + entry_field::NAME, NAME_LEN);
            return FsErr::ok;
        }
        if (e != FsErr::ok) return e;
        Folder next;
        if ((e = folder_child(v, out->folder, slot, &next)) != FsErr::ok) return e;
        out->folder = next;
    }
    return FsErr::ok;
}

FsErr fs_open_folder(Volume& v, std::string_view path, Folder* out) {
    Lookup l;
    if (FsErr e = fs_resolve(v, path, &l); e != FsErr::ok) return e;
    if (l.root) {
        *out = l.folder;
        return FsErr::ok;
    }
    if (l.slot < 0) return FsErr::no_entry;
    return folder_child(v, l.folder, l.slot, out);
}

FsErr fs_walk(Volume& v, const FolderVisit& visit) {
    FsErr result = FsErr::ok;
    std::deque<std::pair<Folder, std::vector<int>>> queue(1);
    if (FsErr e = folder_read_root(v, &queue.front().first); e != FsErr::ok) return e;
    std::unordered_set<std::uint64_t> seen{ROOT_DIR_BLOCK};
    while (!queue.empty()) {
        auto [f, slots] = std::move(queue.front());
        queue.pop_front();
        if (!visit(f, slots)) return result;
        for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i) {
            const std::uint8_t* e = folder_entry(f, i);
            if (entry_type(e) != TYPE_SUBDIR || !seen.insert(entry_start(e)).second) continue;
            Folder child;
            FsErr r = folder_child(v, f, i, &child);
            if (r != FsErr::ok) {
                result = FsErr::read_error;
                continue;
            }
            std::vector<int> path = slots;
            path.push_back(i);
            queue.emplace_back(std::move(child), std::move(path));
        }
    }
    return result;
}

FsErr fs_chain_shared(Volume& v, std::uint64_t start, std::uint64_t folder, int slot, bool* shared) {
    *shared = false;
    return fs_walk(v, [&](const Folder& f, const std::vector<int>&) {
        for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i) {
            const std::uint8_t* e = folder_entry(f, i);
            if (entry_type(e) == TYPE_EMPTY || entry_type(e) == TYPE_PARENT) continue;
            if (entry_start(e) == start && !(f.start == folder && i == slot)) *shared = true;
        }
        return !*shared;
    });
}
