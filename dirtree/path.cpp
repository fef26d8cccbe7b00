#include "path.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "console.h"
#include "fat.h"

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
    fs.wd.stored = scratch;
    fs.wd.loaded = true;
    return r;
}

// The type byte of entry 19, the entry whose bytes 494-519 straddle the two
// blocks of a directory: type, name, size and contiguous count in the first,
// the first block in the second.
constexpr std::size_t STRADDLE_TYPE = 19 * DIR_ENTRY_SIZE + entry_field::TYPE;

enum class Straddle { none, second_first, first_first };

// Which block of the image must reach the volume first so that a crash
// between the two writes never leaves half of entry 19: when it appears the
// block without its type byte, when it goes the block with it. Only matters
// when both blocks change.
Straddle straddle_order(const DirImage& from, const DirImage& to) {
    if (std::memcmp(from.data(), to.data(), BLOCK_SIZE) == 0 ||
        std::memcmp(from.data() + BLOCK_SIZE, to.data() + BLOCK_SIZE, BLOCK_SIZE) == 0)
        return Straddle::none;
    const bool was = from[STRADDLE_TYPE] != TYPE_EMPTY;
    const bool is = to[STRADDLE_TYPE] != TYPE_EMPTY;
    if (!was && is) return Straddle::second_first;
    if (was && !is) return Straddle::first_first;
    return Straddle::none;
}

// Second block of the directory at start, when its chain leads to a block
// that can be written; false otherwise (the plain transfer reports why).
bool second_block(Fs& fs, std::uint64_t start, std::uint64_t* b1) {
    if (start == ROOT_DIR_BLOCK) {
        *b1 = ROOT_DIR_BLOCK + 1;
        return true;
    }
    const std::int64_t e = fat_get(fs.vol, start);
    if (e <= FAT_BAD || static_cast<std::uint64_t>(e) >= total_blocks(fs.vol)) return false;
    *b1 = static_cast<std::uint64_t>(e);
    return true;
}

// Write the image's two blocks one at a time in the given order, with a
// barrier between them: 0 or -1.
int dir_write_ordered(Fs& fs, std::uint64_t start, std::uint64_t b1, Straddle order) {
    const std::uint8_t* img = fs.wd.image.data();
    const bool second = order == Straddle::second_first;
    if (block_write(fs.vol, second ? img + BLOCK_SIZE : img, second ? b1 : start) != 0) return -1;
    if (volume_barrier(fs.vol) != 0) return -1;
    return block_write(fs.vol, second ? img : img + BLOCK_SIZE, second ? start : b1) != 0 ? -1 : 0;
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
    const std::uint64_t start = fs.wd.current_dir->start;
    const Straddle order = straddle_order(fs.wd.stored, fs.wd.image);
    std::uint64_t b1;
    int r;
    if (order != Straddle::none && second_block(fs, start, &b1))
        r = dir_write_ordered(fs, start, b1, order);
    else
        r = dir_transfer(fs, fs.wd.image.data(), start, Direction::write);
    if (r == 0) fs.wd.stored = fs.wd.image;
    return r;
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
