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
    std::memcpy(c.data(), dir_entry(fs.wd.image, n), DIR_ENTRY_SIZE);
    return c;
}

// The 12 name bytes of an entry as a string, ending early at a NUL byte.
std::array<char, NAME_LEN + 1> entry_name(const EntryCopy& c) {
    std::array<char, NAME_LEN + 1> name{};
    std::memcpy(name.data(), c.data() + entry_field::NAME, NAME_LEN);
    return name;
}

// A second entry for the chain of c, at the first free slot of the
// working directory.
int create_link(Fs& fs, const EntryCopy& c) {
    auto name = entry_name(c);
    int slot = dir_find_free_slot(fs);
    return entry_create(fs, name.data(), entry_type(c.data()), 1, entry_size(c.data()),
                        entry_contiguous(c.data()), static_cast<std::uint32_t>(slot),
                        entry_start(c.data()));
}

// Point the parent link of the directory just entered as entry created of
// the working directory at its new place, the new entry being on the volume
// first: 0, 1 (not done, the old link in place), 2 (not back in the
// working directory), 3 (not done, and the old link may not be in place).
int relink_moved(Fs& fs, int created) {
    const std::array<char, NAME_LEN + 1> dest_name = fs.wd.current_dir->name;
    const std::uint64_t dest_start = fs.wd.current_dir->start;
    if (volume_barrier(fs.vol) != 0) {
        err_print("error: can't write directory.\n");
        return 1;
    }
    if (dir_change(fs, created) != 0) {
        err_print("error: can't change to new directory.\n");
        return 1;
    }
    std::uint8_t* link = dir_entry(fs.wd.image, 0);
    const EntryCopy old = copy_entry(fs, 0);
    std::memcpy(link + entry_field::NAME, dest_name.data(), NAME_LEN);
    be32_put(link + entry_field::START, static_cast<std::uint32_t>(dest_start));
    be16_put(link + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(created));
    int r = 0;
    if (dir_store(fs) != 0 || volume_barrier(fs.vol) != 0) {
        err_print("error: can't write directory.\n");
        // The new link may have reached the volume in part: the old one
        // goes back before the new entry may go.
        std::memcpy(link, old.data(), DIR_ENTRY_SIZE);
        r = dir_store(fs) == 0 && volume_barrier(fs.vol) == 0 ? 1 : 3;
    }
    if (dir_change(fs, 0) != 0) {
        err_print("error: can't change to parent-dir. of new directory.\n");
        return 2;
    }
    return r;
}

}  // namespace

int cmd_rm(Fs& fs, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    std::uint8_t type = entry_type(dir_entry(fs.wd.image, n));
    if (type == TYPE_SUBDIR || type == TYPE_PARENT) {
        err_print("error: file is directory.\n");
        return -10;
    }
    if (type == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return -3;
    }
    return entry_delete(fs, n, 1);
}

int cmd_rmdir(Fs& fs, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    const std::uint8_t* e = dir_entry(fs.wd.image, n);
    switch (entry_type(e)) {
    case TYPE_SUBDIR:
        if (entry_size(e) != 0) {
            err_print("error: directory is not empty.\n");
            return -12;
        }
        return entry_delete(fs, n, 1);
    case TYPE_PARENT:
        err_print("error: file is parent-directory.\n");
        return -10;
    default:
        err_print("error: file is not directory.\n");
        return -11;
    }
}

int cmd_mkdir(Fs& fs, const char* name) {
    DirImage& t = fs.mkdir_template;
    if (!fs.template_ready) {
        dir_entry(t, 0)[entry_field::TYPE] = TYPE_PARENT;
        t[DIR_SIGNATURE] = 'D';
        t[DIR_SIGNATURE + 1] = 'R';
        fs.template_ready = true;
    }
    int slot = dir_find_free_slot(fs);
    std::uint8_t* link = dir_entry(t, 0);
    std::memcpy(link + entry_field::NAME, fs.wd.current_dir->name.data(), NAME_LEN);
    be16_put(link + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(slot));
    be32_put(link + entry_field::START, static_cast<std::uint32_t>(fs.wd.current_dir->start));
    // The new directory's two blocks are written before its entry is.
    const ChainFill fill = [&fs, &t](std::uint64_t first, std::uint64_t) {
        if (chain_transfer(fs.vol, t.data(), first, 2, 2, Direction::write) < 0) {
            err_print("error: can't write directory.\n");
            return -1;
        }
        return 0;
    };
    int r = entry_create_filled(fs, name, TYPE_SUBDIR, 2, 0, 2, static_cast<std::uint32_t>(slot), fill);
    if (r == -13) return -2;
    if (r < 0) {
        err_print("error: can't create directory.\n");
        return -1;
    }
    return r;
}

int cmd_chname(Fs& fs, const char* name, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    std::uint8_t* e = dir_entry(fs.wd.image, n);
    switch (entry_type(e)) {
    case TYPE_PARENT: err_print("warning: should be the same as parentname.\n"); break;
    case TYPE_SUBDIR: err_print("warning: you should update parentname in subdirs.\n"); break;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return -3;
    default: break;
    }
    std::array<std::uint8_t, NAME_LEN> before;
    std::memcpy(before.data(), e + entry_field::NAME, NAME_LEN);
    std::memcpy(e + entry_field::NAME, name_normalize(fs, name, NAME_LEN), NAME_LEN);
    if (dir_store(fs) != 0) {
        err_print("error: can't write directory.\n");
        std::memcpy(e + entry_field::NAME, before.data(), NAME_LEN);
        return -4;
    }
    return 0;
}

int cmd_chtype(Fs& fs, std::uint8_t type, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    if (type == TYPE_EMPTY || type == TYPE_SUBDIR || type == TYPE_PARENT) {
        err_print("error: invalid type.\n");
        return -3;
    }
    std::uint8_t* e = dir_entry(fs.wd.image, n);
    const std::uint8_t old = entry_type(e);
    if (old == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return -4;
    }
    if (old == TYPE_SUBDIR || old == TYPE_PARENT) {
        err_print("error: can't change type of directory.\n");
        return -5;
    }
    e[entry_field::TYPE] = type;
    if (dir_store(fs) != 0) {
        err_print("error: can't write directory.\n");
        e[entry_field::TYPE] = old;
        return -6;
    }
    return 0;
}

int cmd_ln(Fs& fs, std::uint32_t n) {
    if (int r = common_checks(fs, n)) return r;
    const std::uint8_t* e = dir_entry(fs.wd.image, n);
    switch (entry_type(e)) {
    case TYPE_PARENT: err_print("error: can't link parent-directory.\n"); return -5;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return -4;
    case TYPE_SUBDIR: err_print("warning: linking directory.\n"); break;
    default: break;
    }
    if (entry_start(e) == 0) {
        // A first block of 0 would ask entry_create for a new chain.
        err_print("error: invalid start block.\n");
        return -6;
    }
    if (create_link(fs, copy_entry(fs, n)) < 0) {
        err_print("error: can't create dir.-entry.\n");
        return -9;
    }
    return 0;
}

int cmd_mv(Fs& fs, std::uint32_t s, std::uint32_t d) {
    if (int r = common_checks(fs, s)) return r;
    if (d > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return -3;
    }
    if (s == d) {
        err_print("error: can't move to same directory.\n");
        return -13;
    }
    const std::uint8_t* src = dir_entry(fs.wd.image, s);
    bool dir_move = false;
    switch (entry_type(src)) {
    case TYPE_PARENT: err_print("error: can't move parent-directory.\n"); return -5;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return -4;
    case TYPE_SUBDIR: dir_move = true; break;
    default: break;
    }
    // The way back from the destination: down again through our own entry
    // number when the destination is the parent, up when it is a child.
    int back;
    switch (entry_type(dir_entry(fs.wd.image, d))) {
    case TYPE_PARENT: back = entry_contiguous(dir_entry(fs.wd.image, 0)); break;
    case TYPE_SUBDIR: back = 0; break;
    case TYPE_EMPTY: err_print("error: no dest.-dir. entry.\n"); return -6;
    default: err_print("error: dest. is not directory.\n"); return -7;
    }
    if (entry_start(src) == 0) {
        err_print("error: invalid start block.\n");
        return -14;
    }
    const EntryCopy c = copy_entry(fs, s);

    if (dir_change(fs, static_cast<int>(d)) != 0) {
        err_print("error: can't change to dest.-directory.\n");
        return -8;
    }
    int created = create_link(fs, c);
    if (created < 0) {
        err_print("error: can't create dir.-entry in dest.-directory.\n");
        if (dir_change(fs, back) != 0) err_print("error: can't change back to src.-directory.\n");
        return -9;
    }

    if (dir_move) {
        const int r = relink_moved(fs, created);
        if (r == 2) return -10;
        if (r != 0) {
            // A moved directory whose parent link still names the old parent
            // would lead its count updates into the wrong entry: undo the
            // new entry and leave the source as it was. When the old link
            // could not be put back, both entries stay.
            if (r == 1 && entry_delete(fs, static_cast<std::uint32_t>(created), 0) != 0)
                err_print("error: can't delete dir.-entry.\n");
            if (dir_change(fs, back) != 0) err_print("error: can't change back to src.-directory.\n");
            return -10;
        }
    }

    if (dir_change(fs, back) != 0) {
        err_print("error: can't change back to src.-directory.\n");
        return -11;
    }
    // The new place is on the volume before the old one is cleared.
    if (volume_barrier(fs.vol) != 0 || entry_delete(fs, s, 0) != 0) {
        err_print("error: can't delete dir.-entry.\n");
        return -12;
    }
    // A later command may remove the new place first: the old one must be
    // gone from the volume by then, or the directory would be left only
    // where its parent link does not lead. (Out of a subdirectory the
    // clearing was made durable before the count went down.)
    if (dir_move && in_root(fs)) volume_barrier(fs.vol);
    return 0;
}
