#include "path.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "console.h"

WorkDir::WorkDir() { std::memcpy(root.name.data(), "ROOT        ", NAME_LEN); }

WorkDir::~WorkDir() {
    PathNode* n = root.next;
    while (n) {
        PathNode* next = n->next;
        delete n;
        n = next;
    }
}

void path_truncate(Fs& fs, PathNode* keep) {
    PathNode* n = keep->next;
    while (n) {
        PathNode* next = n->next;
        delete n;
        n = next;
    }
    keep->next = nullptr;
    fs.wd.current_dir = keep;
}

int dir_transfer(Fs& fs, std::uint8_t* buf, std::uint64_t start, Direction dir) {
    // The root is the run of blocks 3 and 4; any other directory a chain.
    const std::uint64_t contiguous = start == ROOT_DIR_BLOCK ? 3 : 0;
    int r = chain_transfer(fs.vol, buf, start, contiguous, 2, dir);
    return r < 0 ? r : 0;
}

namespace {

// Load the directory at start into the image through a scratch copy, so a
// failed read leaves the image as it was.
int dir_load_from(Fs& fs, std::uint64_t start) {
    DirImage scratch;
    int r = dir_transfer(fs, scratch.data(), start, Direction::read);
    if (r < 0) return r;
    fs.wd.image = scratch;
    fs.wd.loaded = true;
    return r;
}

int unreadable() {
    err_print("error: can't read directory or data corrupt.\n");
    return -2;
}

}  // namespace

int dir_load(Fs& fs) { return dir_load_from(fs, fs.wd.current_dir->start); }

int dir_store(Fs& fs) {
    if (!fs.wd.loaded) {
        // Writing an image that holds no directory would wipe the volume's.
        err_print("error: can't read directory or data corrupt.\n");
        return -1;
    }
    return dir_transfer(fs, fs.wd.image.data(), fs.wd.current_dir->start, Direction::write);
}

int dir_reset_root(Fs& fs) {
    path_truncate(fs, &fs.wd.root);
    if (dir_load(fs) < 0) {
        fs.wd.image.fill(0);
        fs.wd.loaded = false;
        return unreadable();
    }
    return 0;
}

int dir_change(Fs& fs, int n) {
    WorkDir& wd = fs.wd;
    if (n > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("error: invalid filenr.\n");
        return -3;
    }
    if (n < 0) {
        if (dir_load_from(fs, ROOT_DIR_BLOCK) < 0) return unreadable();
        path_truncate(fs, &wd.root);
        return 0;
    }
    const std::uint8_t* e = dir_entry(wd.image, static_cast<std::size_t>(n));
    switch (entry_type(e)) {
    case TYPE_PARENT: {
        PathNode* up = wd.current_dir->previous;
        if (!up) {
            err_print("error: no parent directory.\n");
            return 1;
        }
        if (dir_load_from(fs, up->start) < 0) return unreadable();
        path_truncate(fs, up);
        return 0;
    }
    case TYPE_SUBDIR: {
        PathNode* node = new (std::nothrow) PathNode;
        if (!node) {
            err_print("error: can't allocate path entry.\n");
            return -1;
        }
        std::memcpy(node->name.data(), e + entry_field::NAME, NAME_LEN);
        node->name[NAME_LEN] = '\0';
        node->number = n;
        node->start = entry_start(e);
        if (dir_load_from(fs, node->start) < 0) {
            delete node;
            return unreadable();
        }
        node->previous = wd.current_dir;
        wd.current_dir->next = node;
        wd.current_dir = node;
        return 0;
    }
    case TYPE_EMPTY:
        err_print("error: no such file or directory.\n");
        return 1;
    default:
        err_print("error: file isn't directory.\n");
        return 1;
    }
}

void cmd_pwd(Fs& fs) {
    out_print("working directory: %s\npath=\n", fs.wd.current_dir->name.data());
    for (const PathNode* n = &fs.wd.root; n; n = n->next)
        out_print("  (%2i)%s @%" PRIu64 "\n", n->number, n->name.data(), n->start);
}
