#include "entry.h"

#include <cstring>

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
    const int slot = folder_free_slot(fs.wd);
    return slot < 0 ? -2 : slot;
}

NewEntry entry_new(Fs& fs, const char* name, std::uint8_t type, std::uint64_t blocks, std::uint64_t size,
                   std::uint64_t contiguous, std::uint64_t first) {
    NewEntry n;
    std::memcpy(n.name.data(), name_normalize(fs, name, NAME_LEN), NAME_LEN);
    n.type = type;
    n.blocks = blocks;
    n.size = size;
    n.contiguous = contiguous;
    n.first = first;
    return n;
}

NewEntry entry_link(Fs& fs, const std::uint8_t* e) {
    char name[NAME_LEN + 1] = {};
    std::memcpy(name, e + entry_field::NAME, NAME_LEN);
    // The block count only serves the checks: nothing is allocated.
    return entry_new(fs, name, entry_type(e), 1, entry_size(e), entry_contiguous(e), entry_start(e));
}

int wd_create(Fs& fs, int slot, const NewEntry& n, const ChainFill& fill) {
    int made = -1;
    const FsErr e = fs_create(fs.vol, fs.wd, slot < 0 ? -1 : slot, n, fill, &made);
    // A write that failed after the count was raised (the count's own, or
    // the entry's) still came after the way through the parent.
    path_after_count(fs, e, FsErr::write_error);
    if (e == FsErr::fill_failed) return -13;
    return e == FsErr::ok ? made : -1;
}

FsErr wd_remove(Fs& fs, std::uint32_t number, Release release) {
    const int slot = number > MAX_ENTRY_NR ? -1 : static_cast<int>(number);
    const FsErr e = fs_remove(fs.vol, fs.wd, slot, release);
    // So did freeing the chain, or writing the FAT back.
    path_after_count(fs, e, FsErr::fat_error);
    return e;
}

int entry_delete(Fs& fs, std::uint32_t number, int release) {
    return wd_remove(fs, number, release ? Release::chain : Release::entry_only) == FsErr::ok ? 0 : -1;
}
