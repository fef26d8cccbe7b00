// The volume of a mount: how it is opened, its folders found by path (the
// last one remembered) or by first block, and the links of each chain.
#include <cerrno>
#include <cstring>

#include "console.h"
#include "mount.h"

int mount_open(Mount& m, const char* image, bool read_only) {
    Volume& v = m.vol;
    if (read_only) {
        const int r = volume_open_readonly(v, image);
        if (r == -1) {
            err_print("error: can't open `%s': %s\n", image, std::strerror(errno));
            return 1;
        }
        if (r != 0) {
            err_print("error: can't read block.\n");
            return 1;
        }
    } else if (volume_open(v, image) != 0) {
        return 1;
    } else if (v.read_only) {
        err_print("warning: mounting `%s' read-only.\n", image);
    }
    if (total_blocks(v) <= 5 || total_blocks(v) <= data_start(total_blocks(v))) {
        err_print("error: no file system on `%s'.\n", image);
        return 1;
    }
    Folder root;
    if (folder_read_root(v, &root) != FsErr::ok) {
        err_print("error: can't read directory or data corrupt.\n");
        return 1;
    }
    return 0;
}

int folder_of(Mount& m, const char* path, Folder* f, std::string* last) {
    const char* slash = std::strrchr(path, '/');
    const std::string parent = slash ? std::string(path, static_cast<std::size_t>(slash - path)) : "";
    *last = slash ? slash + 1 : path;
    FolderMemo& memo = m.memo;
    if (memo.stamp == m.vol.changes && memo.path == parent) {
        *f = memo.folder;
        return 0;
    }
    FsErr e = fs_open_folder(m.vol, parent.empty() ? "/" : parent, f);
    if (e == FsErr::name_too_long) e = FsErr::no_entry;  // a folder of that name cannot exist
    if (e != FsErr::ok) return fs_fail(e);
    memo = {parent, *f, m.vol.changes};
    return 0;
}

int folder_at(Mount& m, std::uint64_t start, Folder* f) {
    return folder_read(m.vol, start, 0, RawName{}, f) == FsErr::ok ? 0 : -EIO;
}

int entry_find(const Folder& f, const std::string& name) {
    int slot = -1;
    const FsErr e = folder_lookup(f, name, &slot);
    return e == FsErr::ok ? slot : fs_fail(e);
}

namespace {

// One walk of every folder, noting which entries name each chain.
void census_build(Mount& m) {
    Census& c = m.census;
    c.sharers.clear();
    fs_walk(m.vol, [&c](const Folder& f, const std::vector<int>&) {
        for (int i = 0; i <= static_cast<int>(MAX_ENTRY_NR); ++i) {
            const std::uint8_t* e = folder_entry(f, i);
            if (entry_type(e) != TYPE_EMPTY && entry_type(e) != TYPE_PARENT)
                c.sharers[entry_start(e)].emplace_back(f.start, i);
        }
        return true;
    });
    c.stamp = m.vol.changes;
}

}  // namespace

const Census& census(Mount& m) {
    if (m.census.stamp != m.vol.changes) census_build(m);
    return m.census;
}

std::size_t link_count(Mount& m, std::uint64_t start) {
    const Census& c = census(m);
    auto it = c.sharers.find(start);
    return it == c.sharers.end() || it->second.empty() ? 1 : it->second.size();
}
