// Making a file system: the empty FAT and root folder, and the label.
#include <algorithm>
#include <vector>

#include "console.h"
#include "fat.h"
#include "fsys.h"

std::uint32_t fresh_free_blocks(std::uint32_t total) {
    if (total < 7) return 0;
    return total - (total - 1) / 170 - 6;
}

int label_write(Volume& v) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    v.devid[devid::SIGNATURE] = 'O';
    v.devid[devid::SIGNATURE + 1] = 'S';
    v.os[osblk::SIGNATURE] = 'I';
    v.os[osblk::SIGNATURE + 1] = 'D';
    if (block_write(v, v.os.data(), 2) != 0) {
        err_print("error: can't write label.\n");
        return -2;
    }
    v.counter_dirty = false;
    if (block_write(v, v.devid.data(), 1) != 0) {
        err_print("error: can't write label.\n");
        return -3;
    }
    return 0;
}

namespace {

// Write the empty FAT and root folder: 0, -1 (FAT), -2 (root).
int fs_write(Volume& v) {
    // Number of FAT blocks, in the volume's 32-bit arithmetic; with a total
    // of 5 or less the first write is already refused by the bounds rule.
    const std::uint32_t count = (total_blocks(v) - 1u) / static_cast<std::uint32_t>(FAT_ENTRIES_PER_BLOCK) + 1u;
    // Up to 1 MB of empty, signed FAT blocks, written run after run.
    const std::uint64_t run = std::min<std::uint64_t>(count, 2048);
    std::vector<std::uint8_t> fat(static_cast<std::size_t>(run * BLOCK_SIZE));
    for (std::uint64_t i = 0; i < run; ++i) {
        fat[i * BLOCK_SIZE + FAT_SIGNATURE] = 'F';
        fat[i * BLOCK_SIZE + FAT_SIGNATURE + 1] = 'B';
    }
    for (std::uint64_t b = FAT_FIRST_BLOCK; b < std::uint64_t{count} + FAT_FIRST_BLOCK; b += run) {
        if (blocks_write(v, fat.data(), b, std::min(run, std::uint64_t{count} + FAT_FIRST_BLOCK - b)) != 0) {
            err_print("error: can't write new FAT, filesystem maybe corrupted.\n");
            return -1;
        }
    }
    DirImage root{};
    root[DIR_SIGNATURE] = 'D';
    root[DIR_SIGNATURE + 1] = 'R';
    if (block_write(v, root.data(), ROOT_DIR_BLOCK) != 0 ||
        block_write(v, root.data() + BLOCK_SIZE, ROOT_DIR_BLOCK + 1) != 0) {
        err_print("error: can't write new root dir., filesystem maybe corrupted.\n");
        return -2;
    }
    return 0;
}

}  // namespace

int fs_format(Volume& v) {
    const int r = fs_write(v);
    // The cached blocks belong to the FAT being replaced, also when the new
    // one was written only in part; writing them later would mix the two.
    fat_cache_reset(v);
    return r;
}
