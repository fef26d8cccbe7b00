// Moving an entry between folders, and switching a file to a new chain.
#include <cstring>

#include "batch.h"
#include "console.h"
#include "fat.h"
#include "fsys.h"

FsErr count_add(Volume& v, const Folder& f, int delta, Folder* other, bool* raised);
FsErr remove_entry(Volume& v, Folder& f, int slot, Release release, Folder* other);
// Link a chain of blocks blocks from the first free run at or after *first
// (rewrite.cpp): ok, or the failure with nothing allocated.
FsErr chain_allocate_from(Volume& v, std::uint64_t blocks, std::uint64_t* first, std::uint64_t* contiguous);
FsErr create_entry(Volume& v, Folder& f, int slot, const NewEntry& n, const ChainFill& fill, int* made,
                   Folder* other);
FsErr slot_checks(const Volume& v, int slot, const char* bad_slot);
FsErr entry_checks(const std::uint8_t* e);

namespace {

// Whether the folder at target lies at or below the folder at moved: its
// parent links are followed up to the root (at most as many steps as the
// volume can hold folders), each read from the first block of a folder,
// which holds entry 0. A link that leads nowhere, or a block that cannot be
// read, ends the walk silently: the move is then not refused.
FsErr below(Volume& v, std::uint64_t moved, const Folder& target, bool* inside) {
    *inside = false;
    std::uint64_t at = target.start;
    Block first;
    std::memcpy(first.data(), target.image.data(), BLOCK_SIZE);
    const std::uint64_t data = data_start(total_blocks(v));
    for (std::uint64_t steps = 0; steps <= total_blocks(v) / 2; ++steps) {
        if (at == moved) {
            *inside = true;
            return FsErr::ok;
        }
        const std::uint8_t* link = first.data();  // entry 0
        if (at == ROOT_DIR_BLOCK || entry_type(link) != TYPE_PARENT) return FsErr::ok;
        at = entry_start(link);
        if (at != ROOT_DIR_BLOCK && (at < data || at >= total_blocks(v))) return FsErr::ok;
        if (at != ROOT_DIR_BLOCK && block_read_run(v, first.data(), at, 1) != 0) return FsErr::ok;
    }
    return FsErr::damaged;
}

// The checks of a move, with zvkfm's messages where it has them.
FsErr move_checks(Volume& v, const Folder& from, int slot, const Folder& to) {
    if (FsErr r = slot_checks(v, slot, "error: invalid filenr.\n"); r != FsErr::ok) return r;
    // Entry 0 moves only when it is the root's operating-system file.
    const std::uint8_t* e = folder_entry(from, slot);
    if (entry_type(e) == TYPE_PARENT) {
        err_print("error: can't move parent-directory.\n");
        return FsErr::is_root;
    }
    if (FsErr r = entry_checks(e); r != FsErr::ok) return r;
    if (entry_start(e) == 0) {
        err_print("error: invalid start block.\n");
        return FsErr::damaged;
    }
    if (entry_type(e) != TYPE_SUBDIR) return FsErr::ok;
    bool inside = false;
    if (FsErr r = below(v, entry_start(e), to, &inside); r != FsErr::ok) return r;
    return inside ? FsErr::into_itself : FsErr::ok;
}

// Point the parent link of the moved folder (entry made of to) at to, the
// new entry being on the volume first: ok; not_done when nothing changed
// (the old link in place); write_error when the old link may not be in place.
enum class Relink { ok, not_done, unknown };
Relink relink(Volume& v, Folder& to, int made) {
    if (volume_barrier(v) != 0) {
        err_print("error: can't write directory.\n");
        return Relink::not_done;
    }
    Folder child;
    if (folder_child(v, to, made, &child) != FsErr::ok) {
        err_print("error: can't read directory or data corrupt.\n");
        err_print("error: can't change to new directory.\n");
        return Relink::not_done;
    }
    std::uint8_t* link = folder_entry(child, 0);
    const std::array<std::uint8_t, DIR_ENTRY_SIZE> old = [&] {
        std::array<std::uint8_t, DIR_ENTRY_SIZE> c;
        std::memcpy(c.data(), link, DIR_ENTRY_SIZE);
        return c;
    }();
    parent_link_put(link, to, made);
    if (folder_write(v, child) == FsErr::ok && volume_barrier(v) == 0) return Relink::ok;
    err_print("error: can't write directory.\n");
    // The new link may have reached the volume in part: the old one goes
    // back before the new entry may go.
    std::memcpy(link, old.data(), DIR_ENTRY_SIZE);
    return folder_write(v, child) == FsErr::ok && volume_barrier(v) == 0 ? Relink::not_done : Relink::unknown;
}

// The second entry, in to, for the chain of entry c.
FsErr place_copy(Volume& v, Folder& to, int to_slot, const std::uint8_t* c, const RawName* name, int* made,
                 Folder* from) {
    NewEntry n;
    std::memcpy(n.name.data(), name ? name->data() : c + entry_field::NAME, NAME_LEN);
    n.type = entry_type(c);
    n.blocks = 1;
    n.size = entry_size(c);
    n.contiguous = entry_contiguous(c);
    n.first = entry_start(c);
    const int slot = to_slot >= 0 ? to_slot : folder_free_slot(to);
    return create_entry(v, to, slot < 0 ? -1 : slot, n, {}, made, from);
}

// A rename within one folder: the name changes in place.
FsErr rename_here(Volume& v, Folder& f, int slot, const RawName* name, int* made) {
    std::array<std::uint8_t, DIR_ENTRY_SIZE> e;
    std::memcpy(e.data(), folder_entry(f, slot), DIR_ENTRY_SIZE);
    if (name) std::memcpy(e.data() + entry_field::NAME, name->data(), NAME_LEN);
    const FsErr r = fs_update(v, f, slot, e.data());
    if (made && r == FsErr::ok) *made = slot;
    return r;
}

}  // namespace

FsErr fs_move(Volume& v, Folder& from, int slot, Folder& to, int to_slot, const RawName* name, int* made) {
    if (made) *made = -1;
    if (FsErr e = move_checks(v, from, slot, to); e != FsErr::ok) return e;
    if (&from == &to || from.start == to.start) return rename_here(v, from, slot, name, made);
    std::array<std::uint8_t, DIR_ENTRY_SIZE> c;
    std::memcpy(c.data(), folder_entry(from, slot), DIR_ENTRY_SIZE);
    const bool folder_move = entry_type(c.data()) == TYPE_SUBDIR;
    int created = -1;
    if (FsErr e = place_copy(v, to, to_slot, c.data(), name, &created, &from); e != FsErr::ok) return e;
    if (made) *made = created;
    if (folder_move) {
        const Relink r = relink(v, to, created);
        if (r != Relink::ok) {
            // A moved folder whose parent link still names the old parent
            // would lead its count updates into the wrong entry: the new
            // entry goes again. When the old link could not be put back,
            // both entries stay.
            if (r == Relink::not_done && remove_entry(v, to, created, Release::entry_only, &from) != FsErr::ok)
                err_print("error: can't delete dir.-entry.\n");
            return FsErr::write_error;
        }
    }
    // The new place is on the volume before the old one is cleared.
    if (volume_barrier(v) != 0 || remove_entry(v, from, slot, Release::entry_only, &to) != FsErr::ok) {
        err_print("error: can't delete dir.-entry.\n");
        return FsErr::write_error;
    }
    // A later change may remove the new place first: the old one must be
    // gone from the volume by then (out of a subfolder the clearing was
    // made durable before the count went down).
    if (folder_move && folder_is_root(from)) volume_barrier(v);
    return FsErr::ok;
}

FsErr fs_chain_new_uncommitted(Volume& v, std::uint64_t blocks, const ChainFill& fill, std::uint64_t* start,
                               std::uint64_t* contiguous) {
    if (v.read_only) return FsErr::read_only;
    if (blocks == 0) return FsErr::zero_length;
    if (blocks > MAX_FILE_BLOCKS) return FsErr::too_big;
    if (blocks > free_counter(v)) return FsErr::no_space;
    *start = data_start(total_blocks(v));
    if (FsErr e = chain_allocate_from(v, blocks, start, contiguous); e != FsErr::ok) return e;
    if (fill && fill(*start, *contiguous) != 0) {
        blocks_release(v, *start, blocks);
        return FsErr::fill_failed;
    }
    return FsErr::ok;
}

FsErr fs_chain_new(Volume& v, std::uint64_t blocks, const ChainFill& fill, std::uint64_t* start,
                   std::uint64_t* contiguous) {
    if (FsErr e = fs_chain_new_uncommitted(v, blocks, fill, start, contiguous); e != FsErr::ok) {
        fat_command_end(v);
        return e;
    }
    if (fat_commit(v) == 0) return FsErr::ok;
    blocks_release(v, *start, blocks);
    fat_command_end(v);
    return FsErr::fat_error;
}

FsErr fs_chain_free(Volume& v, std::uint64_t start, std::uint64_t limit) {
    if (v.read_only) return FsErr::read_only;
    const std::uint32_t total = total_blocks(v);
    if (start < data_start(total) || start >= total) return FsErr::damaged;
    if (blocks_release(v, start, limit) != 0) return FsErr::fat_error;
    return fat_command_end(v) == 0 ? FsErr::ok : FsErr::fat_error;
}

FsErr fs_replace(Volume& v, Folder& f, int slot, std::uint64_t start, std::uint64_t blocks,
                 std::uint64_t contiguous, Release release) {
    if (v.read_only) return FsErr::read_only;
    if (slot < 1 || slot > static_cast<int>(MAX_ENTRY_NR)) return FsErr::bad_slot;
    std::uint8_t* e = folder_entry(f, slot);
    if (entry_type(e) == TYPE_EMPTY) return FsErr::no_entry;
    if (entry_type(e) == TYPE_SUBDIR || entry_type(e) == TYPE_PARENT) return FsErr::is_folder;
    const std::uint32_t old = entry_start(e);
    const std::uint64_t old_blocks = entry_size(e);
    std::array<std::uint8_t, DIR_ENTRY_SIZE> before;
    std::memcpy(before.data(), e, DIR_ENTRY_SIZE);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(blocks));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(contiguous));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(start));
    if (folder_write(v, f) != FsErr::ok) {
        std::memcpy(e, before.data(), DIR_ENTRY_SIZE);
        return FsErr::write_error;
    }
    bool shared = release != Release::chain;
    if (release == Release::chain_unshared && fs_chain_shared(v, old, f.start, slot, &shared) != FsErr::ok)
        shared = true;
    if (release == Release::entry_only || shared || old == 0) return FsErr::ok;
    // The switched entry is durable before the old chain may be reused; once
    // it is switched the call has succeeded, and an old chain that cannot be
    // freed is only blocks that no entry names.
    if (volume_barrier(v) == 0) fs_chain_free(v, old, old_blocks == 0 ? CHAIN_ALL : old_blocks);
    return FsErr::ok;
}
