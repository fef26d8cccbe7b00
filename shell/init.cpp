#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console.h"
#include "entry.h"
#include "fat.h"
#include "lineedit.h"
#include "path.h"
#include "shell.h"

namespace {

constexpr int ANSWER_SIZE = 512;  // answers of at most 511 characters

// Ask a question of the dialogue; true when the answer counts (a line was
// read and is not empty).
bool ask(const char* question, char (&buf)[ANSWER_SIZE]) {
    if (!read_answer(question, buf, ANSWER_SIZE)) return false;
    return buf[0] != '\n' && buf[0] != '\0';
}

// Ask for a BE16 geometry field, keeping it when the answer is empty.
void ask_u16(const char* format, std::uint8_t* field) {
    char question[80];
    std::snprintf(question, sizeof question, format, static_cast<unsigned long>(be16_get(field)));
    char buf[ANSWER_SIZE];
    if (ask(question, buf)) be16_put(field, static_cast<std::uint16_t>(command_number(buf)));
}

// Free blocks of a fresh file system on a volume of total blocks.
std::uint32_t free_blocks_for(std::uint32_t total) {
    if (total < 7) return 0;
    return total - (total - 1) / 170 - 6;
}

}  // namespace

int label_write(Fs& fs) {
    Volume& v = fs.vol;
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
    if (block_write(v, v.devid.data(), 1) != 0) {
        err_print("error: can't write label.\n");
        return -3;
    }
    return 0;
}

void cmd_chlabel(Fs& fs, const char* label) {
    Volume& v = fs.vol;
    std::uint8_t* id = v.devid.data();
    if (label) {
        std::memcpy(id + devid::LABEL, name_normalize(fs, label, LABEL_LEN), LABEL_LEN);
        label_write(fs);
        return;
    }

    err_print("warning: a new label will be created.\n");
    if (!confirm("If you really want to create a new label type `y' >")) return;
    const Block devid_before = v.devid;
    const Block os_before = v.os;

    ask_u16("\nnr of sectors [%lu]:", id + devid::SECTORS);
    ask_u16("nr of hds [%lu]:", id + devid::HEADS);
    ask_u16("nr of cylinders [%lu]:", id + devid::CYLINDERS);
    err_print("nr of bytes per block=%lu\n", static_cast<unsigned long>(BLOCK_SIZE));
    be32_put(id + devid::BYTES_PER_BLOCK, BLOCK_SIZE);

    std::uint32_t total = std::uint32_t{be16_get(id + devid::SECTORS)} * be16_get(id + devid::HEADS) *
                          be16_get(id + devid::CYLINDERS);
    be32_put(id + devid::TOTAL_BLK_NR, total);
    char question[80];
    std::snprintf(question, sizeof question, "-> total nr of blocks [%i]:", static_cast<int>(total));
    char buf[ANSWER_SIZE];
    if (ask(question, buf)) be32_put(id + devid::TOTAL_BLK_NR, static_cast<std::uint32_t>(command_number(buf)));

    const std::uint32_t free = free_blocks_for(total_blocks(v));
    set_free_counter(v, free);
    err_print("-> blocks free=%lu (you should call `newfs'!)\n", static_cast<unsigned long>(free));

    char current[LABEL_LEN + 1] = {};
    std::memcpy(current, id + devid::LABEL, LABEL_LEN);
    std::snprintf(question, sizeof question, "disk label [%s]:", current);
    if (ask(question, buf)) {
        std::size_t len = std::strlen(buf);
        if (len > 0 && buf[len - 1] == '\n') buf[len - 1] = '\0';
        std::memcpy(id + devid::LABEL, name_normalize(fs, buf, LABEL_LEN), LABEL_LEN);
    }

    err_print("\nwarning: a new label will be written.\n");
    if (!confirm("If you really want to write a new label type `y' >")) {
        // Nothing is written, so nothing of the dialogue may stay in effect.
        v.devid = devid_before;
        v.os = os_before;
        return;
    }
    if (label_write(fs) == 0) err_print("new label written!\n");
}

namespace {

// Write the empty FAT and root directory: 0, -1 (FAT), -2 (root).
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

int fs_create(Fs& fs) {
    int r = fs_write(fs.vol);
    // The cached blocks belong to the FAT being replaced, also when the new
    // one was written only in part; writing them later would mix the two.
    fat_cache_reset(fs.vol);
    return r;
}

void cmd_newfs(Fs& fs) {
    err_print("warning: a new filesystem will be written and all files will be lost.\n");
    if (!confirm("If you really want to create a new filesystem type `y' >")) return;
    if (fs_create(fs) != 0) return;
    err_print("new filesystem created!\n");
    std::int64_t n = free_count_check(fs.vol, false);
    out_print("blocks free (FAT)=%u\n", static_cast<unsigned>(static_cast<std::uint32_t>(n)));
    dir_change(fs, -1);
}
