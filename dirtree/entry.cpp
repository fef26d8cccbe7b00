#include "entry.h"

#include <cstring>

#include "console.h"
#include "fat.h"
#include "path.h"

const char* name_normalize(Fs& fs, const char* text, int width) {
    const int w = width < 16 ? width : 16;
    if (w <= 0) return fs.name_buffer.data();
    const std::size_t n = strnlen(text, static_cast<std::size_t>(w));
    for (std::size_t i = 0; i < n; ++i) {
        // Only a-z change, as in the default POSIX locale the program runs in.
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
        fs.name_buffer[i] = static_cast<char>(c);
    }
    for (std::size_t i = n; i < static_cast<std::size_t>(w); ++i) fs.name_buffer[i] = ' ';
    return fs.name_buffer.data();
}

int dir_find_free_slot(const Fs& fs) {
    for (std::size_t i = 1; i <= MAX_ENTRY_NR; ++i)
        if (entry_type(dir_entry(fs.wd.image, i)) == TYPE_EMPTY) return static_cast<int>(i);
    return -2;
}

namespace {

// The working directory's own entry number in its parent, read from its
// parent link; -1 with a warning when the link cannot lead there and back
// (a number beyond the directory, or an entry 0 that is a subdirectory).
int own_number(Fs& fs) {
    const std::uint8_t* link = dir_entry(fs.wd.image, 0);
    std::uint16_t own = entry_contiguous(link);
    if (own > MAX_ENTRY_NR || entry_type(link) == TYPE_SUBDIR) {
        err_print("warning: parent link damaged, count not updated.\n");
        return -1;
    }
    return own;
}

// Add delta (modulo 65536) to the size field of entry own of the parent,
// coming back to the directory also when the store fails. 0, or the failing
// step: 1 (to the parent), 2 (store), 3 (back).
int parent_count_add(Fs& fs, int own, int delta) {
    if (dir_change(fs, 0) != 0) {
        err_print("error: can't change to parent directory.\n");
        return 1;
    }
    std::uint8_t* e = dir_entry(fs.wd.image, static_cast<std::size_t>(own));
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(entry_size(e) + delta));
    const int stored = dir_store(fs) == 0 ? 0 : 2;
    if (stored != 0) err_print("error: can't write directory.\n");
    if (dir_change(fs, own) != 0) {
        err_print("error: can't change back to directory.\n");
        return 3;
    }
    return stored;
}

// The checks before anything is changed: 0 or -1 ... -6.
int create_checks(const Volume& v, std::uint32_t slot, std::uint64_t blocks, int type) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (slot > MAX_ENTRY_NR) {
        err_print("error: file not free.\n");
        return -2;
    }
    if (blocks == 0) {
        err_print("error: zero length.\n");
        return -3;
    }
    if (blocks > free_counter(v)) {
        err_print("error: not enough space left on device.\n");
        return -4;
    }
    if (blocks > MAX_FILE_BLOCKS) {
        err_print("error: max. file size exceeded.\n");
        return -5;
    }
    if ((type & 0xFF) == 0) {
        err_print("error: invalid type.\n");
        return -6;
    }
    return 0;
}

// Link a new chain in the FAT cache: 0, or -7 with nothing allocated.
int chain_allocate(Volume& v, std::uint64_t blocks, std::uint64_t* start, std::uint64_t* contiguous) {
    *start = data_start(total_blocks(v));
    const std::uint32_t counter = free_counter(v);
    int r = fat_alloc_chain(v, start, blocks, contiguous);
    if (r == -3) {
        // Linked but the counter could not be written: give the chain
        // back so no entry-less blocks stay allocated.
        std::uint64_t s = *start;
        std::uint64_t freed = 0;
        if (fat_free_chain(v, &s, blocks, &freed) != 0) err_print("error: blocks lost.\n");
        set_free_counter(v, counter);
    }
    return r < 0 ? -7 : 0;
}

// Raise the working directory's count in its parent before a new entry is
// stored: 0, or -9 ... -11. *own is its entry number there, or -1 when no
// count was raised.
int count_raise(Fs& fs, int* own) {
    *own = -1;
    if (in_root(fs)) return 0;
    const int n = own_number(fs);
    if (n < 0) return 0;
    switch (parent_count_add(fs, n, 1)) {
    case 1: return -9;
    case 2: return -10;
    case 3: return -11;
    default: *own = n; return 0;
    }
}

// Take back what a failed creation did: the raised count, the new chain.
void create_undo(Fs& fs, int own, bool allocated, std::uint64_t start, std::uint64_t blocks) {
    if (own >= 0) parent_count_add(fs, own, -1);
    if (allocated && blocks_release(fs.vol, start, blocks) != 0) err_print("error: blocks lost.\n");
}

// Fill entry slot of the working directory's image.
void entry_fill(Fs& fs, std::uint8_t* e, const char* name, int type, std::uint64_t size, std::uint64_t contiguous,
                std::uint64_t start) {
    e[entry_field::TYPE] = static_cast<std::uint8_t>(type);
    std::memcpy(e + entry_field::NAME, name_normalize(fs, name, NAME_LEN), NAME_LEN);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(size));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(contiguous));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(start));
    e[entry_field::CLEARED22] = 0;
    be16_put(e + entry_field::CLEARED24, 0);
}

int create(Fs& fs, const char* name, int type, std::uint64_t blocks, std::uint64_t size, std::uint64_t contiguous,
           std::uint32_t slot, std::uint64_t first_block, const ChainFill* fill) {
    Volume& v = fs.vol;
    if (int r = create_checks(v, slot, blocks, type)) return r;
    std::uint64_t start = first_block;
    const bool allocated = first_block == 0;
    if (allocated) {
        if (int r = chain_allocate(v, blocks, &start, &contiguous)) return r;
        if (fill && *fill && (*fill)(start, contiguous) != 0) {
            create_undo(fs, -1, true, start, blocks);
            return -13;
        }
    }
    int own;
    if (int r = count_raise(fs, &own)) {
        if (allocated) create_undo(fs, -1, true, start, blocks);
        return r;
    }
    // What the entry will point at, and the count, are on the volume
    // before the entry is (an existing chain already is).
    if ((allocated || own >= 0) && fat_commit(v) != 0) {
        err_print("error: can't write FAT.\n");
        create_undo(fs, own, allocated, start, blocks);
        return -7;
    }
    std::uint8_t* e = dir_entry(fs.wd.image, slot);
    std::array<std::uint8_t, DIR_ENTRY_SIZE> before;
    std::memcpy(before.data(), e, DIR_ENTRY_SIZE);
    entry_fill(fs, e, name, type, size, contiguous, start);
    if (dir_store(fs) != 0) {
        err_print("error: can't write directory.\n");
        std::memcpy(e, before.data(), DIR_ENTRY_SIZE);
        // The entry may have reached the volume in part: its chain and count
        // are taken back only once the directory is known to be without it.
        const bool restored = dir_store(fs) == 0 && volume_barrier(v) == 0;
        if (restored) create_undo(fs, own, allocated, start, blocks);
        return -8;
    }
    return static_cast<int>(slot);
}

}  // namespace

int entry_create(Fs& fs, const char* name, int type, std::uint64_t blocks, std::uint64_t size,
                 std::uint64_t contiguous, std::uint32_t slot, std::uint64_t first_block) {
    return create(fs, name, type, blocks, size, contiguous, slot, first_block, nullptr);
}

int entry_create_filled(Fs& fs, const char* name, int type, std::uint64_t blocks, std::uint64_t size,
                        std::uint64_t contiguous, std::uint32_t slot, const ChainFill& fill) {
    return create(fs, name, type, blocks, size, contiguous, slot, 0, &fill);
}

int entry_delete(Fs& fs, std::uint32_t number, int release) {
    Volume& v = fs.vol;
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (number > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return -2;
    }
    std::uint8_t* e = dir_entry(fs.wd.image, number);
    const std::uint8_t type = entry_type(e);
    if (type == TYPE_EMPTY) {
        err_print("error: no file entry.\n");
        return -3;
    }
    const std::uint32_t first = entry_start(e);
    if (first == ROOT_DIR_BLOCK) {
        err_print("error: can't delete root-directory.\n");
        return -4;
    }
    e[entry_field::TYPE] = TYPE_EMPTY;
    if (dir_store(fs) != 0) {
        err_print("error: can't write directory.\n");
        e[entry_field::TYPE] = type;
        return -5;
    }
    // An entry without a chain (first block 0) has nothing to give back.
    const bool freeing = release && first != 0;
    if (in_root(fs) && !freeing) return 0;
    // The cleared entry is on the volume before its count is lowered or its
    // blocks are freed.
    if (volume_barrier(v) != 0) {
        err_print("error: can't write directory.\n");
        return -5;
    }
    if (!in_root(fs)) {
        int own = own_number(fs);
        if (own >= 0) {
            switch (parent_count_add(fs, own, -1)) {
            case 1: return -6;
            case 2: return -7;
            case 3: return -8;
            default: break;
            }
        }
    }
    if (freeing && blocks_release(v, first, CHAIN_ALL) != 0) {
        err_print("error: can't delete file data.\n");
        return -9;
    }
    return 0;
}
