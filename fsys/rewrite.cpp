// A file switched to a new chain with its links, a chain grown piece by
// piece, a move over an existing entry, and the commit of an fsync.
#include "rewrite.h"

#include <cstring>
#include <vector>

#include "console.h"
#include "fat.h"

FsErr remove_entry(Volume& v, Folder& f, int slot, Release release, Folder* other);
FsErr count_add(Volume& v, const Folder& f, int delta, Folder* other, bool* raised);

namespace {

// Entry 19 lies across the two blocks of a folder: its size and leading run
// in the first, its first block in the second.
constexpr int STRADDLING = 19;

// The chain every entry naming old is switched to.
struct Switch {
    std::uint64_t old, start, blocks, contiguous;
};

// Whether e is a file entry naming the chain at start.
bool names_file_chain(const std::uint8_t* e, std::uint64_t start) {
    const std::uint8_t type = entry_type(e);
    return type != TYPE_EMPTY && type != TYPE_PARENT && type != TYPE_SUBDIR && entry_start(e) == start;
}

// Point entry e at the new chain.
void entry_point(std::uint8_t* e, const Switch& s) {
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(s.blocks));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(s.contiguous));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(s.start));
}

// Write f, or put its image back: ok or write_error.
FsErr write_or_undo(Volume& v, Folder& f, const DirImage& before) {
    if (folder_write(v, f) == FsErr::ok) return FsErr::ok;
    err_print("error: can't write directory.\n");
    f.image = before;
    return FsErr::write_error;
}

// A free entry for the straddling one: in the first block when there is
// one (it then moves in one block write), else in the second; -1 if none.
int straddle_refuge(const Folder& f) {
    int second = -1;
    for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i) {
        if (i == STRADDLING || entry_type(folder_entry(f, i)) != TYPE_EMPTY) continue;
        if (i < STRADDLING) return i;
        if (second < 0) second = i;
    }
    return second;
}

// Entry 19, when its size or leading run changes, would be half switched by
// a write cut short: it moves to the free entry at k with the new chain.
// In the first block that is one block write (19 cleared, k made); in the
// second, k is made first (the count raised before) and 19 cleared after.
FsErr straddle_move(Volume& v, Folder& f, int k, const Switch& s, const DirImage& before) {
    std::uint8_t* e = folder_entry(f, STRADDLING);
    std::memcpy(folder_entry(f, k), e, DIR_ENTRY_SIZE);
    entry_point(folder_entry(f, k), s);
    if (k < STRADDLING) {
        e[entry_field::TYPE] = TYPE_EMPTY;
        return write_or_undo(v, f, before);
    }
    bool raised = false;
    if (FsErr r = count_add(v, f, 1, nullptr, &raised); r != FsErr::ok || volume_barrier(v) != 0) {
        f.image = before;
        return r != FsErr::ok ? r : FsErr::write_error;
    }
    FsErr r = write_or_undo(v, f, before);
    if (r == FsErr::ok && volume_barrier(v) == 0) {
        // Both entries are durable: the old one may go.
        const DirImage both = f.image;
        e[entry_field::TYPE] = TYPE_EMPTY;
        // The count goes down only once 19 is known to be gone.
        if (write_or_undo(v, f, both) == FsErr::ok && volume_barrier(v) == 0) count_add(v, f, -1, nullptr, &raised);
        return FsErr::ok;
    }
    if (r != FsErr::ok && raised) count_add(v, f, -1, nullptr, &raised);
    return r == FsErr::ok ? FsErr::write_error : r;
}

// Switch every file entry of f that names the chain at s.old, writing f:
// ok (with *moved the entry 19 went to, or -1), or the failure with f as
// it was.
FsErr switch_entries(Volume& v, Folder& f, const Switch& s, int* moved) {
    *moved = -1;
    const DirImage before = f.image;
    bool any = false, straddle = false;
    for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i) {
        std::uint8_t* e = folder_entry(f, i);
        if (!names_file_chain(e, s.old)) continue;
        if (i == STRADDLING && (entry_size(e) != s.blocks || entry_contiguous(e) != s.contiguous)) {
            straddle = true;
            continue;
        }
        entry_point(e, s);
        any = true;
    }
    const int k = straddle ? straddle_refuge(f) : -1;
    // A full folder leaves no other place: switched where it is.
    if (straddle && k < 0) entry_point(folder_entry(f, STRADDLING), s);
    if (k < 0) return any || straddle ? write_or_undo(v, f, before) : FsErr::ok;
    const FsErr r = straddle_move(v, f, k, s, before);
    if (r == FsErr::ok) *moved = k;
    return r;
}

// Switch the links of the chain in every folder but f.
void switch_links(Volume& v, const Folder& f, const Switch& s) {
    std::vector<Folder> holders;
    fs_walk(v, [&](const Folder& d, const std::vector<int>&) {
        if (d.start == f.start) return true;
        for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i)
            if (names_file_chain(folder_entry(d, i), s.old)) {
                holders.push_back(d);
                break;
            }
        return true;
    });
    int moved;
    for (Folder& d : holders) switch_entries(v, d, s, &moved);
}

// Free the chain at start (at most limit blocks) when no entry names it
// any more; the entry that named it was made durable before.
void release_unnamed(Volume& v, std::uint64_t start, std::uint64_t limit) {
    bool shared = true;
    if (start == 0 || fs_chain_shared(v, start, 0, -1, &shared) != FsErr::ok || shared) return;
    if (fs_chain_free(v, start, limit == 0 ? CHAIN_ALL : limit) != FsErr::ok) err_print("error: blocks lost.\n");
}

}  // namespace

FsErr fs_replace_linked(Volume& v, Folder& f, int slot, std::uint64_t start, std::uint64_t blocks,
                        std::uint64_t contiguous, int* made) {
    if (v.read_only) return FsErr::read_only;
    if (slot < 1 || slot > static_cast<int>(MAX_ENTRY_NR)) return FsErr::bad_slot;
    const std::uint8_t* e = folder_entry(f, slot);
    if (entry_type(e) == TYPE_EMPTY) return FsErr::no_entry;
    if (!names_file_chain(e, entry_start(e))) return FsErr::is_folder;
    if (made) *made = slot;
    // An entry without a chain has no links to follow.
    if (entry_start(e) == 0) return fs_replace(v, f, slot, start, blocks, contiguous, Release::entry_only);
    const Switch s{entry_start(e), start, blocks, contiguous};
    const std::uint64_t old_blocks = entry_size(e);
    int moved = -1;
    if (FsErr r = switch_entries(v, f, s, &moved); r != FsErr::ok) return r;
    if (made && slot == STRADDLING && moved >= 0) *made = moved;
    if (s.old == start) return FsErr::ok;
    switch_links(v, f, s);
    // Every entry switched is durable before the old chain may be reused.
    if (volume_barrier(v) != 0) {
        err_print("error: can't write directory.\n");
        return FsErr::ok;
    }
    release_unnamed(v, s.old, old_blocks);
    return FsErr::ok;
}

// Link a chain of blocks blocks from the first free run at or after *first:
// ok, or the failure with nothing allocated.
FsErr chain_allocate_from(Volume& v, std::uint64_t blocks, std::uint64_t* first, std::uint64_t* contiguous) {
    const std::uint32_t counter = free_counter(v);
    const int r = fat_alloc_chain(v, first, blocks, contiguous);
    if (r == -3) {
        // Linked, but the counter could not be written: given back.
        std::uint64_t s = *first, freed = 0;
        fat_free_chain(v, &s, blocks, &freed);
        set_free_counter(v, counter);
    }
    if (r == -2) return FsErr::no_space;
    return r < 0 ? FsErr::fat_error : FsErr::ok;
}

namespace {

// Last block of the chain of blocks blocks at first, or 0 when the FAT
// does not lead that far.
std::uint64_t chain_last(Volume& v, std::uint64_t first, std::uint64_t blocks) {
    std::uint64_t at = first;
    for (std::uint64_t i = 1; i < blocks; ++i) {
        const std::int64_t next = fat_get(v, at);
        if (next <= FAT_BAD || static_cast<std::uint64_t>(next) >= total_blocks(v)) return 0;
        at = static_cast<std::uint64_t>(next);
    }
    return at;
}

}  // namespace

FsErr fs_chain_append(Volume& v, std::uint64_t* last, std::uint64_t blocks, const ChainFill& fill,
                      std::uint64_t* first, std::uint64_t* contiguous) {
    if (v.read_only) return FsErr::read_only;
    if (blocks == 0) return FsErr::zero_length;
    if (blocks > MAX_FILE_BLOCKS) return FsErr::too_big;
    if (blocks > free_counter(v)) return FsErr::no_space;
    const std::uint32_t total = total_blocks(v);
    if (*last != 0 && (*last < data_start(total) || *last >= total || fat_get(v, *last) != FAT_EOF))
        return FsErr::damaged;
    // Right after the chain's end where that block is free, so that it
    // stays one run.
    *first = data_start(total);
    if (*last != 0 && !fat_next_free(v, *last + 1, first)) *first = data_start(total);
    if (FsErr e = chain_allocate_from(v, blocks, first, contiguous); e != FsErr::ok) return e;
    const std::uint64_t end = chain_last(v, *first, blocks);
    FsErr e = FsErr::ok;
    if (end == 0) e = FsErr::fat_error;
    else if (fill && fill(*first, *contiguous) != 0) e = FsErr::fill_failed;
    else if (*last != 0 && fat_set(v, *last, static_cast<std::uint32_t>(*first)) != 0) e = FsErr::fat_error;
    if (e != FsErr::ok) {
        blocks_release(v, *first, blocks);
        return e;
    }
    *last = end;
    return FsErr::ok;
}

namespace {

// The checks of a move over an existing entry: ok to go on, done when
// both names are one file already, or the failure.
enum class Over { go, done, fail };
Over over_checks(Volume& v, const std::uint8_t* s, Folder& to, int target, FsErr* err) {
    const std::uint8_t* t = folder_entry(to, target);
    const bool s_dir = entry_type(s) == TYPE_SUBDIR, t_dir = entry_type(t) == TYPE_SUBDIR;
    *err = FsErr::ok;
    if (entry_type(s) == TYPE_EMPTY) *err = FsErr::no_entry;
    else if (entry_start(t) == ROOT_DIR_BLOCK) *err = FsErr::is_root;
    else if (s_dir && !t_dir) *err = FsErr::not_folder;
    else if (!s_dir && t_dir) *err = FsErr::is_folder;
    else if (!s_dir) return entry_start(s) == entry_start(t) ? Over::done : Over::go;
    if (*err != FsErr::ok) return Over::fail;
    Folder held;
    if ((*err = folder_child(v, to, target, &held)) != FsErr::ok) return Over::fail;
    if (folder_used(held) > 0) *err = FsErr::not_empty;
    return *err == FsErr::ok ? Over::go : Over::fail;
}

// A file into the place of another file of another folder: the place
// written, a barrier, the old entry cleared, then the replaced chain.
FsErr file_over(Volume& v, Folder& from, int slot, Folder& to, int target, const RawName* name) {
    const std::uint8_t* t = folder_entry(to, target);
    const std::uint64_t replaced = entry_start(t), replaced_blocks = entry_size(t);
    std::uint8_t e[DIR_ENTRY_SIZE];
    std::memcpy(e, folder_entry(from, slot), DIR_ENTRY_SIZE);
    if (name) std::memcpy(e + entry_field::NAME, name->data(), NAME_LEN);
    if (FsErr r = fs_update(v, to, target, e); r != FsErr::ok) return r;
    if (volume_barrier(v) != 0) {
        err_print("error: can't write directory.\n");
        return FsErr::write_error;
    }
    if (FsErr r = remove_entry(v, from, slot, Release::entry_only, &to); r != FsErr::ok) return r;
    release_unnamed(v, replaced, replaced_blocks);
    return FsErr::ok;
}

// A folder over an empty folder of another folder, or a file over entry 19
// (which a write cut short would leave half the one, half the other):
// moved to a free entry first, the target removed after (before, when
// there is no free entry).
FsErr move_beside(Volume& v, Folder& from, int slot, Folder& to, int target, const RawName* name, int* made) {
    const Release release = entry_type(folder_entry(to, target)) == TYPE_SUBDIR ? Release::chain
                                                                                : Release::chain_unshared;
    const int free = folder_free_slot(to);
    if (free < 0) {
        if (FsErr r = remove_entry(v, to, target, release, &from); r != FsErr::ok) return r;
        return fs_move(v, from, slot, to, target, name, made);
    }
    if (FsErr r = fs_move(v, from, slot, to, free, name, made); r != FsErr::ok) return r;
    return remove_entry(v, to, target, release, &from);
}

}  // namespace

FsErr fs_move_over(Volume& v, Folder& from, int slot, Folder& to, int target, const RawName* name, int* made) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return FsErr::read_only;
    }
    constexpr int last = static_cast<int>(MAX_ENTRY_NR);
    if (slot < 1 || slot > last || target < 1 || target > last) return FsErr::bad_slot;
    const bool same = &from == &to || from.start == to.start;
    Folder& dest = same ? from : to;
    if (entry_type(folder_entry(dest, target)) == TYPE_EMPTY || (same && slot == target))
        return fs_move(v, from, slot, dest, target, name, made);
    FsErr err;
    const Over o = over_checks(v, folder_entry(from, slot), dest, target, &err);
    if (o != Over::go) return err;
    if (same) {
        // Renamed in place first: a crash in between leaves both names.
        if (FsErr r = fs_move(v, from, slot, from, slot, name, made); r != FsErr::ok) return r;
        return fs_remove(v, from, target, Release::chain_unshared);
    }
    if (entry_type(folder_entry(from, slot)) == TYPE_SUBDIR || target == STRADDLING)
        return move_beside(v, from, slot, to, target, name, made);
    if (FsErr r = file_over(v, from, slot, to, target, name); r != FsErr::ok) return r;
    if (made) *made = target;
    return FsErr::ok;
}

FsErr fs_commit(Volume& v) {
    if (v.read_only) return FsErr::ok;
    return fat_commit(v) == 0 ? FsErr::ok : FsErr::fat_error;
}
