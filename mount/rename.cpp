#include <cerrno>
#include <cstdio>

#include "mount.h"
#include "rewrite.h"

namespace {

// The two sides of a rename: the folder of each path, the source's slot,
// the target's slot (-1 when absent) and its stored name.
struct Sides {
    Folder from, to;
    int slot = -1, target = -1;
    RawName name{};
};

int sides_find(Mount& m, const char* from, const char* to, Sides* s) {
    std::string last;
    if (int r = folder_of(m, from, &s->from, &last)) return r;
    if (last.empty()) return -EBUSY;
    if ((s->slot = entry_find(s->from, last)) < 0) return s->slot;
    if (int r = folder_of(m, to, &s->to, &last)) return r;
    if (last.empty()) return -EBUSY;
    if (name_encode(last.c_str(), s->name) != 0) return -ENAMETOOLONG;
    s->target = entry_find(s->to, last);
    if (s->target < 0 && s->target != -ENOENT) return s->target;
    if (s->target < 0) s->target = -1;
    return 0;
}

}  // namespace

int op_rename(Mount& m, const char* from, const char* to, unsigned flags) {
    if (flags & ~unsigned{RENAME_NOREPLACE}) return -EINVAL;
    if (int r = op_writable(m)) return r;
    Sides s;
    if (int r = sides_find(m, from, to, &s)) return r;
    // Within one folder both sides are the one image.
    const bool same = s.from.start == s.to.start;
    Folder& dest = same ? s.from : s.to;
    const bool replaces = s.target >= 0 && !(same && s.target == s.slot);
    if (replaces) {
        if (flags & RENAME_NOREPLACE) return -EEXIST;
        const std::uint8_t* a = folder_entry(s.from, s.slot);
        const std::uint8_t* b = folder_entry(dest, s.target);
        // Two names of one file: nothing to do.
        if (entry_type(a) != TYPE_SUBDIR && entry_type(b) != TYPE_SUBDIR && entry_start(a) == entry_start(b)) return 0;
        node_detach(m, {dest.start, s.target});
    }
    int made = -1;
    const FsErr e = replaces ? fs_move_over(m.vol, s.from, s.slot, dest, s.target, &s.name, &made)
                             : fs_move(m.vol, s.from, s.slot, dest, -1, &s.name, &made);
    if (e != FsErr::ok) return fs_fail(e);
    if (replaces) node_orphan(m, {dest.start, s.target});
    node_rekey(m, {s.from.start, s.slot}, {dest.start, made});
    return 0;
}
