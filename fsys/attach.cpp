// Folders that no entry names yet, given one: a folder placed on blocks the
// caller chose, a lost folder reattached (a checker's repairs). The parent
// link names the new place before the entry that leads there is made, so a
// crash in between leaves a folder as lost as it was, never one that is
// reachable with a link naming another place.
#include <cstring>

#include "batch.h"
#include "console.h"
#include "fat.h"
#include "fsys.h"

Folder folder_blank(std::uint64_t start) {
    Folder f;
    f.start = start;
    dir_entry(f.image, 0)[entry_field::TYPE] = TYPE_PARENT;
    f.image[DIR_SIGNATURE] = 'D';
    f.image[DIR_SIGNATURE + 1] = 'R';
    f.stored = f.image;
    f.loaded = true;
    return f;
}

FsErr folder_write_run(Volume& v, Folder& f) {
    if (v.read_only) return FsErr::read_only;
    const std::uint32_t total = total_blocks(v);
    if (f.start < data_start(total) || f.start + 1 >= total) return FsErr::damaged;
    if (blocks_write(v, f.image.data(), f.start, 2) != 0) return FsErr::write_error;
    f.stored = f.image;
    f.loaded = true;
    return FsErr::ok;
}

FsErr folder_relink(Volume& v, Folder& child, const Folder& parent, int slot) {
    if (slot < 1 || slot > static_cast<int>(MAX_ENTRY_NR)) return FsErr::bad_slot;
    std::uint8_t* link = folder_entry(child, 0);
    std::array<std::uint8_t, DIR_ENTRY_SIZE> before;
    std::memcpy(before.data(), link, DIR_ENTRY_SIZE);
    if (entry_type(link) != TYPE_PARENT) {
        std::memset(link, 0, DIR_ENTRY_SIZE);
        link[entry_field::TYPE] = TYPE_PARENT;
    }
    parent_link_put(link, parent, slot);
    if (FsErr e = folder_write(v, child); e != FsErr::ok) {
        std::memcpy(link, before.data(), DIR_ENTRY_SIZE);
        return e;
    }
    child.parent = parent.start;
    return volume_barrier(v) == 0 ? FsErr::ok : FsErr::fat_error;
}

FsErr fs_attach_folder(Volume& v, Folder& parent, int slot, Folder& child, const RawName& name, int* made) {
    if (v.read_only) return FsErr::read_only;
    if (slot < 1 || slot > static_cast<int>(MAX_ENTRY_NR) || entry_type(folder_entry(parent, slot)) != TYPE_EMPTY)
        return FsErr::bad_slot;
    const std::uint32_t total = total_blocks(v);
    if (child.start < data_start(total) || child.start >= total || child.start == parent.start)
        return FsErr::damaged;
    // The chain the caller linked is on the volume before anything names it.
    if (fat_commit(v) != 0) {
        err_print("error: can't write FAT.\n");
        return FsErr::fat_error;
    }
    if (FsErr e = folder_relink(v, child, parent, slot); e != FsErr::ok) {
        err_print("error: can't write directory.\n");
        return e;
    }
    NewEntry n;
    n.name = name;
    n.type = TYPE_SUBDIR;
    n.blocks = 2;
    n.size = static_cast<std::uint64_t>(folder_used(child));
    n.contiguous = 2;
    n.first = child.start;
    const FsErr e = fs_create(v, parent, slot, n, {}, made);
    if (e == FsErr::ok) child.name = name;
    return e;
}
