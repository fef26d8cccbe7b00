#include "dircmd.h"

#include <array>
#include <cstring>

#include "console.h"
#include "entry.h"
#include "path.h"

namespace {

// The two checks every handler but mkdir starts with.
int common_checks(const Fs& fs, std::uint32_t n) {
    if (fs.vol.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (n > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return -2;
    }
    return 0;
}

using EntryCopy = std::array<std::uint8_t, DIR_ENTRY_SIZE>;

EntryCopy copy_entry(const Fs& fs, std::uint32_t n) {
    EntryCopy c;
    std::memcpy(c.data(), folder_entry(fs.wd, static_cast<int>(n)), DIR_ENTRY_SIZE);
    return c;
}

// A new link counts as one block: on a volume whose free-block counter is
// 0 it is refused, although nothing is allocated. A folder without a free
// entry is left to the layer, which says so first. False after saying why.
bool link_fits(const Fs& fs, const Folder& f) {
    if (folder_free_slot(f) < 0 || free_counter(fs.vol) >= 1) return true;
    err_print("error: not enough space left on device.\n");
    return false;
}

// Store the prepared entry c as entry n of the working directory: 0, or
// failure after the layer said why.
int update(Fs& fs, std::uint32_t n, const EntryCopy& c, int failure) {
    return fs_update(fs.vol, fs.wd, static_cast<int>(n), c.data()) == FsErr::ok ? 0 : failure;
}

// The result code of a removal that failed in the layer.
int removal_code(FsErr e) {
    switch (e) {
    case FsErr::ok: return 0;
    case FsErr::write_error: return -5;
    case FsErr::fat_error: return -9;
    default: return -6;
    }
}

// The checks of mv before anything is read, in their order: 0 or the code.
int mv_checks(const Fs& fs, std::uint32_t s, std::uint32_t d) {
    if (int r = common_checks(fs, s)) return r;
    if (d > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return -3;
    }
    if (s == d) {
        err_print("error: can't move to same directory.\n");
        return -13;
    }
    const std::uint8_t* src = folder_entry(fs.wd, static_cast<int>(s));
    switch (entry_type(src)) {
    case TYPE_PARENT: err_print("error: can't move parent-directory.\n"); return -5;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return -4;
    default: break;
    }
    switch (entry_type(folder_entry(fs.wd, static_cast<int>(d)))) {
    case TYPE_PARENT:
    case TYPE_SUBDIR: break;
    case TYPE_EMPTY: err_print("error: no dest.-dir. entry.\n"); return -6;
    default: err_print("error: dest. is not directory.\n"); return -7;
    }
    if (entry_start(src) == 0) {
        err_print("error: invalid start block.\n");
        return -14;
    }
    return 0;
}

// The name zvkfm's way through the parent of the destination dest of mv
// gives it when the new entry raises its count there: a moved directory's
// parent link takes that name. For the directory above (up) the parent is
// read, when its link numbers another entry than the one followed down.
void name_after_count(Fs& fs, const PathNode* up, Folder* dest) {
    int number;
    if (!up) {
        through_parent(dest->image, dest->start, fs.wd.image, &number, &dest->name);
        return;
    }
    DirImage parent;
    if (up->previous && entry_contiguous(folder_entry(*dest, 0)) != up->number &&
        dir_transfer(fs, parent.data(), up->previous->start, Direction::read) == 0)
        through_parent(dest->image, dest->start, parent, &number, &dest->name);
}

// Read the destination of mv, entry d of the working directory (the parent
// link: the path's directory above; a subdirectory: that one), under the
// name a moved directory's link takes: 0, or non-zero after saying why.
int mv_destination(Fs& fs, std::uint32_t d, Folder* dest) {
    const std::uint8_t* e = folder_entry(fs.wd, static_cast<int>(d));
    const PathNode* up = entry_type(e) == TYPE_PARENT ? fs.wd.current_dir->previous : nullptr;
    if (up) {
        dest->start = up->start;
        dest->parent = up->previous ? up->previous->start : 0;
        std::memcpy(dest->name.data(), up->name.data(), NAME_LEN);
    } else if (entry_type(e) == TYPE_PARENT) {
        err_print("error: no parent directory.\n");
        return 1;
    } else {
        dest->start = entry_start(e);
        dest->parent = fs.wd.start;
        std::memcpy(dest->name.data(), e + entry_field::NAME, NAME_LEN);
    }
    if (dir_transfer(fs, dest->image.data(), dest->start, Direction::read) < 0) {
        err_print("error: can't read directory or data corrupt.\n");
        return -2;
    }
    dest->stored = dest->image;
    dest->loaded = true;
    name_after_count(fs, up, dest);
    return 0;
}

// Whether zvkfm's way back from the destination of a move to the working
// directory fails: from a subdirectory up through its parent link, from
// the parent down through the parent's entry that the working directory's
// link numbers. (Either one leading into another directory is let pass.)
bool way_back_fails(const Fs& fs, bool up, const Folder& dest) {
    const int own = entry_contiguous(folder_entry(fs.wd, 0));
    std::uint8_t type = entry_type(folder_entry(dest, 0));
    if (up) type = own > static_cast<int>(MAX_ENTRY_NR) ? TYPE_EMPTY : entry_type(folder_entry(dest, own));
    return type != TYPE_SUBDIR && type != TYPE_PARENT;
}

// The new place of entry s in dest, named link: the move through the layer,
// or for a file stranded in the source the new entry alone. The layer's
// result, *made as fs_move gives it.
FsErr mv_place(Fs& fs, std::uint32_t s, Folder& dest, const NewEntry& link, bool stranded, int* made) {
    *made = -1;
    if (!link_fits(fs, dest)) return FsErr::no_space;
    if (stranded) return fs_create(fs.vol, dest, folder_free_slot(dest), link, {}, made);
    return fs_move(fs.vol, fs.wd, static_cast<int>(s), dest, -1, &link.name, made);
}

// The end of a move that made no new entry in the destination, or whose
// way back fails: zvkfm was left in the destination (in its parent when
// the count there could not lead back down, not_folder) and went back to
// the source as it always did, from a subdirectory up through its parent
// link, from the parent down through the source's entry there. The
// working directory is where that way ends. The result code.
int mv_way_back(Fs& fs, std::uint32_t d, bool up, FsErr e) {
    const int own = entry_contiguous(folder_entry(fs.wd, 0));
    const bool below = e == FsErr::not_folder;
    if (!up && !below && dir_change(fs, static_cast<int>(d)) != 0) return -9;
    for (int left = up ? 1 + below : 0; left > 0; --left)
        if (path_up(fs) != 0) return -9;
    if (dir_change(fs, up ? own : 0) != 0) {
        err_print("error: can't change back to src.-directory.\n");
        return up && e == FsErr::ok ? -11 : -9;
    }
    return e == FsErr::ok ? -11 : -9;
}

}  // namespace

int cmd_rm(Fs& fs, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    std::uint8_t type = entry_type(folder_entry(fs.wd, static_cast<int>(n)));
    if (type == TYPE_SUBDIR || type == TYPE_PARENT) {
        err_print("error: file is directory.\n");
        return -10;
    }
    if (type == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return -3;
    }
    return removal_code(wd_remove(fs, n, Release::chain));
}

int cmd_rmdir(Fs& fs, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    const std::uint8_t* e = folder_entry(fs.wd, static_cast<int>(n));
    switch (entry_type(e)) {
    case TYPE_SUBDIR:
        if (entry_size(e) != 0) {
            err_print("error: directory is not empty.\n");
            return -12;
        }
        return removal_code(wd_remove(fs, n, Release::chain));
    case TYPE_PARENT:
        err_print("error: file is parent-directory.\n");
        return -10;
    default:
        err_print("error: file is not directory.\n");
        return -11;
    }
}

int cmd_mkdir(Fs& fs, const char* name) {
    RawName raw;
    std::memcpy(raw.data(), name_normalize(fs, name, NAME_LEN), NAME_LEN);
    int made = -1;
    const FsErr e = fs_make_folder(fs.vol, fs.wd, folder_free_slot(fs.wd), raw, &made);
    path_after_count(fs, e, FsErr::write_error);
    // A new directory whose blocks could not be written said so itself.
    if (e == FsErr::fill_failed) return -2;
    if (e != FsErr::ok) {
        err_print("error: can't create directory.\n");
        return -1;
    }
    return made;
}

int cmd_chname(Fs& fs, const char* name, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    switch (entry_type(folder_entry(fs.wd, static_cast<int>(n)))) {
    case TYPE_PARENT: err_print("warning: should be the same as parentname.\n"); break;
    case TYPE_SUBDIR: err_print("warning: you should update parentname in subdirs.\n"); break;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return -3;
    default: break;
    }
    EntryCopy c = copy_entry(fs, n);
    std::memcpy(c.data() + entry_field::NAME, name_normalize(fs, name, NAME_LEN), NAME_LEN);
    return update(fs, n, c, -4);
}

int cmd_chtype(Fs& fs, std::uint8_t type, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    if (type == TYPE_EMPTY || type == TYPE_SUBDIR || type == TYPE_PARENT) {
        err_print("error: invalid type.\n");
        return -3;
    }
    EntryCopy c = copy_entry(fs, n);
    const std::uint8_t old = entry_type(c.data());
    if (old == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return -4;
    }
    if (old == TYPE_SUBDIR || old == TYPE_PARENT) {
        err_print("error: can't change type of directory.\n");
        return -5;
    }
    c[entry_field::TYPE] = type;
    return update(fs, n, c, -6);
}

int cmd_ln(Fs& fs, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    const EntryCopy c = copy_entry(fs, n);
    switch (entry_type(c.data())) {
    case TYPE_PARENT: err_print("error: can't link parent-directory.\n"); return -5;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return -4;
    case TYPE_SUBDIR: err_print("warning: linking directory.\n"); break;
    default: break;
    }
    if (entry_start(c.data()) == 0) {
        // A first block of 0 would ask the layer for a new chain.
        err_print("error: invalid start block.\n");
        return -6;
    }
    if (!link_fits(fs, fs.wd) || wd_create(fs, folder_free_slot(fs.wd), entry_link(fs, c.data())) < 0) {
        err_print("error: can't create dir.-entry.\n");
        return -9;
    }
    return 0;
}

int cmd_mv(Fs& fs, std::uint32_t s, std::uint32_t d) {
    if (int r = mv_checks(fs, s, d)) return r;
    const bool up = entry_type(folder_entry(fs.wd, static_cast<int>(d))) == TYPE_PARENT;
    Folder dest;
    if (mv_destination(fs, d, &dest) != 0) {
        err_print("error: can't change to dest.-directory.\n");
        return -8;
    }
    const NewEntry link = entry_link(fs, folder_entry(fs.wd, static_cast<int>(s)));
    // A file whose way back fails stays where it was, the new entry made.
    const bool stranded = link.type != TYPE_SUBDIR && way_back_fails(fs, up, dest);
    int made = -1;
    const FsErr e = mv_place(fs, s, dest, link, stranded, &made);
    if (e == FsErr::into_itself) {
        err_print("error: can't move directory into itself.\n");
        return -9;
    }
    if (made < 0) err_print("error: can't create dir.-entry in dest.-directory.\n");
    if (made < 0 || stranded) return mv_way_back(fs, d, up, e);
    if (e != FsErr::ok) return -10;
    if (up) path_relabel(fs, fs.wd.current_dir->previous, dest.image);
    path_after_count(fs, e);
    return 0;
}
