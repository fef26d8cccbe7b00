// The operations that change entries: create, remove, update, move, make a
// folder, replace a chain. Each one orders its own writes (data and chain
// before the entry, the entry cleared before its chain is freed, the new
// place before the old) with a barrier between dependent steps.
#include <cstring>

#include "batch.h"
#include "console.h"
#include "fat.h"
#include "fsys.h"

namespace {

using EntryBytes = std::array<std::uint8_t, DIR_ENTRY_SIZE>;

EntryBytes entry_copy(const Folder& f, int slot) {
    EntryBytes c;
    std::memcpy(c.data(), folder_entry(f, slot), DIR_ENTRY_SIZE);
    return c;
}

// The folder's own entry number in its parent, read from its parent link;
// -1 with a warning when the link cannot lead there and back.
int own_number(const Folder& f) {
    const std::uint8_t* link = folder_entry(f, 0);
    const std::uint16_t own = entry_contiguous(link);
    if (own > MAX_ENTRY_NR || entry_type(link) == TYPE_SUBDIR) {
        err_print("warning: parent link damaged, count not updated.\n");
        return -1;
    }
    return own;
}

// Read the parent of f, or take other when it is that folder (so an image
// the caller holds stays the one written): ok, or the failure after saying
// why.
FsErr parent_of(Volume& v, const Folder& f, Folder* other, Folder* scratch, Folder** parent) {
    const std::uint8_t type = entry_type(folder_entry(f, 0));
    if (type != TYPE_PARENT) {
        err_print(type == TYPE_EMPTY ? "error: no such file or directory.\n" : "error: file isn't directory.\n");
        err_print("error: can't change to parent directory.\n");
        return FsErr::damaged;
    }
    const std::uint64_t at = f.parent ? f.parent : entry_start(folder_entry(f, 0));
    if (other && other->start == at && other->loaded) {
        *parent = other;
        return FsErr::ok;
    }
    RawName none{};
    if (FsErr e = folder_read(v, at, 0, none, scratch); e != FsErr::ok) {
        err_print("error: can't read directory or data corrupt.\n");
        err_print("error: can't change to parent directory.\n");
        return e;
    }
    *parent = scratch;
    return FsErr::ok;
}

// Whether entry own of the parent p leads back down to a folder, the count
// of a folder being kept only in its own entry: ok, or not_folder after
// saying why. Entry 0 of the parent (own 0, a damaged link) is let pass.
FsErr way_back(const Folder& p, int own) {
    const std::uint8_t type = entry_type(folder_entry(p, own));
    if (type == TYPE_SUBDIR || type == TYPE_PARENT) return FsErr::ok;
    err_print(type == TYPE_EMPTY ? "error: no such file or directory.\n" : "error: file isn't directory.\n");
    err_print("error: can't change back to directory.\n");
    return FsErr::not_folder;
}

}  // namespace

// Add delta (modulo 65536) to the count of f in its parent; nothing for the
// root or a damaged parent link. *raised tells whether it was done. When
// the parent's entry does not lead back to a folder (a parent link naming
// a file) the count is changed all the same and not_folder returned.
FsErr count_add(Volume& v, const Folder& f, int delta, Folder* other, bool* raised) {
    *raised = false;
    if (folder_is_root(f)) return FsErr::ok;
    const int own = own_number(f);
    if (own < 0) return FsErr::ok;
    Folder scratch;
    Folder* p = nullptr;
    if (FsErr e = parent_of(v, f, other, &scratch, &p); e != FsErr::ok) return e;
    std::uint8_t* e = folder_entry(*p, own);
    if (entry_type(e) == TYPE_SUBDIR && entry_start(e) != f.start) {
        // The link names the entry of another folder, whose count is not f's.
        err_print("warning: parent link damaged, count not updated.\n");
        return FsErr::ok;
    }
    const std::uint16_t before = entry_size(e);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(before + delta));
    FsErr r = folder_write(v, *p);
    if (r != FsErr::ok) {
        err_print("error: can't write directory.\n");
        be16_put(e + entry_field::SIZE, before);
    }
    if (FsErr back = way_back(*p, own); back != FsErr::ok) return back;
    if (r != FsErr::ok) return r;
    *raised = true;
    return FsErr::ok;
}

// The first checks of a change at slot, with zvkfm's messages; bad_slot
// is the line for an entry number out of range.
FsErr slot_checks(const Volume& v, int slot, const char* bad_slot) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return FsErr::read_only;
    }
    if (slot < 0 || slot > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("%s", bad_slot);
        return FsErr::bad_slot;
    }
    return FsErr::ok;
}

// no_entry, with zvkfm's message, when the entry e is empty.
FsErr entry_checks(const std::uint8_t* e) {
    if (entry_type(e) == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return FsErr::no_entry;
    }
    return FsErr::ok;
}

namespace {

// The checks before anything is created, with zvkfm's messages.
FsErr create_checks(const Volume& v, int slot, const NewEntry& n) {
    if (FsErr e = slot_checks(v, slot, "error: file not free.\n"); e != FsErr::ok) return e;
    if (n.blocks == 0) {
        err_print("error: zero length.\n");
        return FsErr::zero_length;
    }
    if (n.first == 0 && n.blocks > free_counter(v)) {
        err_print("error: not enough space left on device.\n");
        return FsErr::no_space;
    }
    if (n.blocks > MAX_FILE_BLOCKS) {
        err_print("error: max. file size exceeded.\n");
        return FsErr::too_big;
    }
    if (n.type == TYPE_EMPTY) {
        err_print("error: invalid type.\n");
        return FsErr::bad_type;
    }
    return FsErr::ok;
}

// Link a new chain in the FAT cache: ok, or fat_error with nothing allocated.
FsErr chain_allocate(Volume& v, std::uint64_t blocks, std::uint64_t* start, std::uint64_t* contiguous) {
    *start = data_start(total_blocks(v));
    const std::uint32_t counter = free_counter(v);
    const int r = fat_alloc_chain(v, start, blocks, contiguous);
    if (r == -3) {
        // Linked but the counter could not be written: give the chain
        // back so no entry-less blocks stay allocated.
        std::uint64_t s = *start;
        std::uint64_t freed = 0;
        if (fat_free_chain(v, &s, blocks, &freed) != 0) err_print("error: blocks lost.\n");
        set_free_counter(v, counter);
    }
    if (r == -2) return FsErr::no_space;
    return r < 0 ? FsErr::fat_error : FsErr::ok;
}

// Give a new chain back (a failed creation).
void chain_undo(Volume& v, std::uint64_t start, std::uint64_t blocks) {
    if (blocks_release(v, start, blocks) != 0) err_print("error: blocks lost.\n");
}

// A new chain for n, filled: ok with *start, *contiguous, or the failure
// with nothing left allocated.
FsErr chain_made(Volume& v, const NewEntry& n, const ChainFill& fill, std::uint64_t* start,
                 std::uint64_t* contiguous) {
    *contiguous = n.contiguous;
    if (FsErr e = chain_allocate(v, n.blocks, start, contiguous); e != FsErr::ok) return e;
    if (fill && fill(*start, *contiguous) != 0) {
        chain_undo(v, *start, n.blocks);
        return FsErr::fill_failed;
    }
    return FsErr::ok;
}

// Store the prepared entry of slot; when the write fails the entry is taken
// out again, and true in *clean once the folder is known to be without it.
FsErr entry_store(Volume& v, Folder& f, int slot, const EntryBytes& before, bool* clean) {
    if (folder_write(v, f) == FsErr::ok) return FsErr::ok;
    err_print("error: can't write directory.\n");
    std::memcpy(folder_entry(f, slot), before.data(), DIR_ENTRY_SIZE);
    // The entry may have reached the volume in part: its chain and count
    // are taken back only once the folder is known to be without it.
    *clean = folder_write(v, f) == FsErr::ok && volume_barrier(v) == 0;
    return FsErr::write_error;
}

}  // namespace

void entry_fill(std::uint8_t* e, const NewEntry& n, std::uint64_t contiguous, std::uint64_t start) {
    e[entry_field::TYPE] = n.type;
    std::memcpy(e + entry_field::NAME, n.name.data(), NAME_LEN);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(n.size));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(contiguous));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(start));
    e[entry_field::CLEARED22] = 0;
    be16_put(e + entry_field::CLEARED24, 0);
}

FsErr create_entry(Volume& v, Folder& f, int slot, const NewEntry& n, const ChainFill& fill, int* made,
                   Folder* other) {
    if (FsErr e = create_checks(v, slot, n); e != FsErr::ok) return e;
    std::uint64_t start = n.first, contiguous = n.contiguous;
    const bool allocated = n.first == 0;
    if (allocated)
        if (FsErr e = chain_made(v, n, fill, &start, &contiguous); e != FsErr::ok) return e;
    bool raised = false;
    if (FsErr e = count_add(v, f, 1, other, &raised); e != FsErr::ok) {
        if (allocated) chain_undo(v, start, n.blocks);
        return e;
    }
    // What the entry will point at, and the count, are on the volume
    // before the entry is (an existing chain already is).
    if ((allocated || raised) && fat_commit(v) != 0) {
        err_print("error: can't write FAT.\n");
        if (raised) count_add(v, f, -1, other, &raised);
        if (allocated) chain_undo(v, start, n.blocks);
        return FsErr::fat_error;
    }
    const EntryBytes before = entry_copy(f, slot);
    entry_fill(folder_entry(f, slot), n, contiguous, start);
    bool clean = false;
    if (FsErr e = entry_store(v, f, slot, before, &clean); e != FsErr::ok) {
        if (clean && raised) count_add(v, f, -1, other, &raised);
        if (clean && allocated) chain_undo(v, start, n.blocks);
        return e;
    }
    if (made) *made = slot;
    return FsErr::ok;
}

FsErr fs_create(Volume& v, Folder& f, int slot, const NewEntry& n, const ChainFill& fill, int* made) {
    return create_entry(v, f, slot, n, fill, made, nullptr);
}

namespace {

// The checks before an entry is removed, with zvkfm's messages.
FsErr remove_checks(const Volume& v, const Folder& f, int slot) {
    if (FsErr r = slot_checks(v, slot, "error: invalid filenr.\n"); r != FsErr::ok) return r;
    const std::uint8_t* e = folder_entry(f, slot);
    if (FsErr r = entry_checks(e); r != FsErr::ok) return r;
    if (entry_start(e) == ROOT_DIR_BLOCK) {
        err_print("error: can't delete root-directory.\n");
        return FsErr::is_root;
    }
    return FsErr::ok;
}

// Whether the chain of the removed entry is to be freed.
bool freeing(Volume& v, const Folder& f, int slot, std::uint32_t first, Release release) {
    // An entry without a chain (first block 0) has nothing to give back.
    if (release == Release::entry_only || first == 0) return false;
    if (release == Release::chain) return true;
    bool shared = true;
    // When the walk cannot tell, the chain stays: leaked blocks at worst.
    return fs_chain_shared(v, first, f.start, slot, &shared) == FsErr::ok && !shared;
}

}  // namespace

FsErr remove_entry(Volume& v, Folder& f, int slot, Release release, Folder* other) {
    if (FsErr e = remove_checks(v, f, slot); e != FsErr::ok) return e;
    std::uint8_t* e = folder_entry(f, slot);
    const std::uint8_t type = entry_type(e);
    const std::uint32_t first = entry_start(e);
    // Release::chain frees the whole chain, as zvkfm's rm and rmdir always
    // did; a chain freed unless shared ends where the entry's can.
    const std::uint64_t limit = type == TYPE_SUBDIR && release == Release::chain_unshared ? 2 : CHAIN_ALL;
    const bool release_chain = freeing(v, f, slot, first, release);
    e[entry_field::TYPE] = TYPE_EMPTY;
    if (folder_write(v, f) != FsErr::ok) {
        err_print("error: can't write directory.\n");
        e[entry_field::TYPE] = type;
        return FsErr::write_error;
    }
    if (folder_is_root(f) && !release_chain) return FsErr::ok;
    // The cleared entry is on the volume before its count is lowered or its
    // blocks are freed.
    if (volume_barrier(v) != 0) {
        err_print("error: can't write directory.\n");
        return FsErr::write_error;
    }
    bool lowered = false;
    if (FsErr r = count_add(v, f, -1, other, &lowered); r != FsErr::ok) return r;
    if (release_chain && blocks_release(v, first, limit) != 0) {
        err_print("error: can't delete file data.\n");
        return FsErr::fat_error;
    }
    return fat_command_end(v) == 0 ? FsErr::ok : FsErr::fat_error;
}

FsErr fs_remove(Volume& v, Folder& f, int slot, Release release) {
    return remove_entry(v, f, slot, release, nullptr);
}

FsErr fs_update(Volume& v, Folder& f, int slot, const std::uint8_t* entry) {
    if (FsErr r = slot_checks(v, slot, "error: invalid filenr.\n"); r != FsErr::ok) return r;
    std::uint8_t* e = folder_entry(f, slot);
    if (entry_type(e) == TYPE_EMPTY || entry_type(entry) == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return FsErr::no_entry;
    }
    const EntryBytes before = entry_copy(f, slot);
    std::memcpy(e, entry, DIR_ENTRY_SIZE);
    if (folder_write(v, f) != FsErr::ok) {
        err_print("error: can't write directory.\n");
        std::memcpy(e, before.data(), DIR_ENTRY_SIZE);
        return FsErr::write_error;
    }
    return FsErr::ok;
}

FsErr fs_make_folder(Volume& v, Folder& parent, int slot, const RawName& name, int* made) {
    return fs_create(v, parent, slot, new_folder_entry(name), fill_new_folder(v, parent, slot), made);
}
