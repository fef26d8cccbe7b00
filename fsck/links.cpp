// Passes 3 and 4: a directory keeps one entry (the one its parent link
// names, unless that would cut it off from the root); then every kept entry,
// the directory's count and its parent link are set from the walk. A
// reattached directory is judged by its parent link as it was found.
#include "fsck.h"

namespace {

// Whether making p the parent of directory x would put x below itself.
bool makes_cycle(const Fsck& f, std::uint32_t x, std::uint32_t p) {
    std::uint32_t cur = p;
    for (std::size_t steps = 0; steps <= f.dirs.size(); ++steps) {
        if (cur == x) return true;
        const DirNode& n = f.dirs[cur];
        if (cur == 0 || n.kept < 0) return false;
        cur = n.refs[static_cast<std::size_t>(n.kept)].dir;
    }
    return true;
}

// The index of the ref that the parent link of x names, or -1.
int named_ref(const Fsck& f, const DirNode& x) {
    const std::uint8_t* link = link_as_found(x);
    if (entry_type(link) != TYPE_PARENT) return -1;
    for (std::size_t i = 0; i < x.refs.size(); ++i) {
        const DirRef& r = x.refs[i];
        if (f.dirs[r.dir].start == entry_start(link) && r.slot == entry_contiguous(link)) return static_cast<int>(i);
    }
    return -1;
}

void keep_one(Fsck& f, std::uint32_t x) {
    const int named = named_ref(f, f.dirs[x]);
    if (named >= 0 && named != f.dirs[x].kept &&
        !makes_cycle(f, x, f.dirs[x].refs[static_cast<std::size_t>(named)].dir))
        f.dirs[x].kept = named;
    const DirRef keep = f.dirs[x].refs[static_cast<std::size_t>(f.dirs[x].kept)];
    for (std::size_t i = 0; i < f.dirs[x].refs.size() && !f.failed; ++i) {
        if (static_cast<int>(i) == f.dirs[x].kept) continue;
        const DirRef r = f.dirs[x].refs[i];
        if (!problem(f, r.path, fmt("second entry of directory %s", keep.path.c_str()), act(f, r.dir, "entry removed")))
            continue;
        // A reattached directory kept where its link once led: the link goes
        // back there before the entry it names now is removed.
        if (f.dirs[x].relinked && !links_to(f, x, keep) && !dir_relink(f, x, keep.dir, keep.slot)) return;
        clear_entry(f, r.dir, r.slot);
    }
}

// The entry of x in its parent: first block, contiguous count and count.
void check_entry_of(Fsck& f, std::uint32_t x, const DirRef& r) {
    std::uint8_t* e = dir_entry(f.dirs[r.dir].image, r.slot);
    bool changed = false;
    const auto block = static_cast<std::uint32_t>(f.dirs[x].start);
    if (entry_start(e) != block || entry_contiguous(e) != 2) {
        if (problem(f, r.path, fmt("directory entry names block %u with contiguous count %u, not block %u and 2",
                                   entry_start(e), entry_contiguous(e), block),
                    act(f, r.dir, "entry set"))) {
            be32_put(e + entry_field::START, block);
            be16_put(e + entry_field::CONTIGUOUS, 2);
            changed = true;
        }
    }
    const std::uint16_t n = dir_held(f.dirs[x].image);
    if (entry_size(e) != n &&
        problem(f, r.path, fmt("count %u but the directory holds %u entries", entry_size(e), n),
                act(f, r.dir, fmt("count set to %u", n).c_str()))) {
        be16_put(e + entry_field::SIZE, n);
        changed = true;
    }
    if (changed) dir_write(f, f.dirs[r.dir]);
}

void check_parent_link(Fsck& f, std::uint32_t x, const DirRef& r) {
    const std::uint8_t* link = link_as_found(f.dirs[x]);
    const auto pb = static_cast<std::uint32_t>(f.dirs[r.dir].start);
    if (entry_type(link) != TYPE_PARENT) {
        if (!problem(f, r.path, fmt("entry 0 has type %u, not a parent link", entry_type(link)),
                     act(f, x, "parent link written")))
            return;
    } else if (entry_contiguous(link) != r.slot || entry_start(link) != pb) {
        if (!problem(f, r.path,
                     fmt("parent link names entry %u of block %u, not entry %u of block %u",
                         entry_contiguous(link), entry_start(link), r.slot, pb),
                     act(f, x, "parent link rewritten")))
            return;
    }
    // A reattached directory's link already names its entry.
    if (!links_to(f, x, r)) dir_relink(f, x, r.dir, r.slot);
}

}  // namespace

void resolve_second_paths(Fsck& f) {
    for (std::uint32_t x = 1; x < f.dirs.size() && !f.failed; ++x)
        if (f.dirs[x].kept >= 0 && f.dirs[x].refs.size() > 1) keep_one(f, x);
}

void check_links_and_counts(Fsck& f) {
    f.links_checked = true;
    for (std::uint32_t x = 1; x < f.dirs.size() && !f.failed; ++x) {
        if (f.dirs[x].kept < 0) continue;
        const DirRef r = f.dirs[x].refs[static_cast<std::size_t>(f.dirs[x].kept)];
        check_entry_of(f, x, r);
        check_parent_link(f, x, r);
    }
}
