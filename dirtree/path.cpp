#include "path.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "console.h"

WorkDir::WorkDir() {
    std::memcpy(root.name.data(), ROOT_NAME, NAME_LEN);
    std::memcpy(name.data(), ROOT_NAME, NAME_LEN);
}

WorkDir::~WorkDir() {
    PathNode* n = root.next;
    while (n) {
        PathNode* next = n->next;
        delete n;
        n = next;
    }
}

namespace {

// Make the folder fields of the working directory those of the path's
// last node: its first block, its parent's, its name.
void follow_path(Fs& fs) {
    const PathNode* n = fs.wd.current_dir;
    fs.wd.start = n->start;
    fs.wd.parent = n->previous ? n->previous->start : 0;
    std::memcpy(fs.wd.name.data(), n->name.data(), NAME_LEN);
}

int unreadable() {
    err_print("error: can't read directory or data corrupt.\n");
    return -2;
}

// Load the directory at start into the image through a scratch copy, so a
// failed read leaves the image as it was: 0, or -2 after saying so.
int load(Fs& fs, std::uint64_t start) {
    DirImage scratch;
    if (dir_transfer(fs, scratch.data(), start, Direction::read) < 0) return unreadable();
    fs.wd.image = scratch;
    fs.wd.stored = scratch;
    fs.wd.loaded = true;
    return 0;
}

// Descend into the subdirectory of entry n, e.
int enter_child(Fs& fs, int n, const std::uint8_t* e) {
    PathNode* node = new (std::nothrow) PathNode;
    if (!node) {
        err_print("error: can't allocate path entry.\n");
        return -1;
    }
    std::memcpy(node->name.data(), e + entry_field::NAME, NAME_LEN);
    node->name[NAME_LEN] = '\0';
    node->number = n;
    node->start = entry_start(e);
    if (load(fs, node->start) != 0) {
        delete node;
        return -2;
    }
    node->previous = fs.wd.current_dir;
    fs.wd.current_dir->next = node;
    fs.wd.current_dir = node;
    follow_path(fs);
    return 0;
}

}  // namespace

int path_up(Fs& fs) {
    PathNode* up = fs.wd.current_dir->previous;
    if (!up) {
        err_print("error: no parent directory.\n");
        return 1;
    }
    if (load(fs, up->start) != 0) return -2;
    path_truncate(fs, up);
    return 0;
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
    follow_path(fs);
}

int dir_transfer(Fs& fs, std::uint8_t* buf, std::uint64_t start, Direction dir) {
    return folder_transfer(fs.vol, buf, start, dir);
}

int dir_store(Fs& fs) {
    if (fs.vol.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    return folder_write(fs.vol, fs.wd) == FsErr::ok ? 0 : -1;
}

int dir_reset_root(Fs& fs) {
    path_truncate(fs, &fs.wd.root);
    if (load(fs, ROOT_DIR_BLOCK) != 0) {
        fs.wd.image.fill(0);
        fs.wd.loaded = false;
        return -2;
    }
    return 0;
}

int dir_change(Fs& fs, int n) {
    if (n > static_cast<int>(MAX_ENTRY_NR)) {
        err_print("error: invalid filenr.\n");
        return -3;
    }
    if (n < 0) {
        if (load(fs, ROOT_DIR_BLOCK) != 0) return -2;
        path_truncate(fs, &fs.wd.root);
        return 0;
    }
    const std::uint8_t* e = folder_entry(fs.wd, n);
    switch (entry_type(e)) {
    case TYPE_PARENT: return path_up(fs);
    case TYPE_SUBDIR: return enter_child(fs, n, e);
    case TYPE_EMPTY: err_print("error: no such file or directory.\n"); return 1;
    default: err_print("error: file isn't directory.\n"); return 1;
    }
}

bool through_parent(const DirImage& image, std::uint64_t start, const DirImage& parent, int* number, RawName* name) {
    const std::uint8_t* link = dir_entry(image, 0);
    const int own = entry_contiguous(link);
    if (entry_type(link) != TYPE_PARENT || own > static_cast<int>(MAX_ENTRY_NR)) return false;
    const std::uint8_t* e = dir_entry(parent, static_cast<std::size_t>(own));
    if (entry_type(e) != TYPE_SUBDIR || entry_start(e) != start) return false;
    *number = own;
    std::memcpy(name->data(), e + entry_field::NAME, NAME_LEN);
    return true;
}

void path_relabel(Fs& fs, PathNode* node, const DirImage& image) {
    const std::uint8_t* link = dir_entry(image, 0);
    if (!node->previous || entry_contiguous(link) == node->number) return;
    DirImage parent;
    int number;
    RawName name;
    if (dir_transfer(fs, parent.data(), node->previous->start, Direction::read) < 0) return;
    if (!through_parent(image, node->start, parent, &number, &name)) return;
    node->number = number;
    std::memcpy(node->name.data(), name.data(), NAME_LEN);
    follow_path(fs);
}

void path_after_count(Fs& fs, FsErr e, FsErr also) {
    const std::uint8_t* link = folder_entry(fs.wd, 0);
    if (!fs.wd.current_dir->previous || entry_type(link) != TYPE_PARENT ||
        entry_contiguous(link) > MAX_ENTRY_NR)
        return;
    if (e == FsErr::not_folder) path_up(fs);
    if (e == FsErr::ok || e == also) path_relabel(fs, fs.wd.current_dir, fs.wd.image);
}

void cmd_pwd(Fs& fs) {
    out_print("working directory: %s\npath=\n", fs.wd.current_dir->name.data());
    for (const PathNode* n = &fs.wd.root; n; n = n->next)
        out_print("  (%2i)%s @%" PRIu64 "\n", n->number, n->name.data(), n->start);
}
