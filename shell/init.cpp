#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console.h"
#include "entry.h"
#include "fat.h"
#include "fsys.h"
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

// The geometry questions of the label dialogue, and the total of blocks
// that follows from the answers (which may be answered in its turn).
void ask_geometry(Volume& v) {
    std::uint8_t* id = v.devid.data();
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
}

// The label question: the answer's line, normalized to seven characters.
void ask_label(Fs& fs) {
    std::uint8_t* id = fs.vol.devid.data();
    char current[LABEL_LEN + 1] = {};
    std::memcpy(current, id + devid::LABEL, LABEL_LEN);
    char question[80];
    std::snprintf(question, sizeof question, "disk label [%s]:", current);
    char buf[ANSWER_SIZE];
    if (!ask(question, buf)) return;
    std::size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') buf[len - 1] = '\0';
    std::memcpy(id + devid::LABEL, name_normalize(fs, buf, LABEL_LEN), LABEL_LEN);
}

}  // namespace

int label_write(Fs& fs) { return label_write(fs.vol); }

void cmd_chlabel(Fs& fs, const char* label) {
    Volume& v = fs.vol;
    if (label) {
        std::memcpy(v.devid.data() + devid::LABEL, name_normalize(fs, label, LABEL_LEN), LABEL_LEN);
        label_write(fs);
        return;
    }
    err_print("warning: a new label will be created.\n");
    if (!confirm("If you really want to create a new label type `y' >")) return;
    const Block devid_before = v.devid;
    const Block os_before = v.os;
    ask_geometry(v);
    const std::uint32_t free = fresh_free_blocks(total_blocks(v));
    set_free_counter(v, free);
    err_print("-> blocks free=%lu (you should call `newfs'!)\n", static_cast<unsigned long>(free));
    ask_label(fs);
    err_print("\nwarning: a new label will be written.\n");
    if (!confirm("If you really want to write a new label type `y' >")) {
        // Nothing is written, so nothing of the dialogue may stay in effect.
        v.devid = devid_before;
        v.os = os_before;
        return;
    }
    if (label_write(fs) == 0) err_print("new label written!\n");
}

int fs_create(Fs& fs) { return fs_format(fs.vol); }

void cmd_newfs(Fs& fs) {
    err_print("warning: a new filesystem will be written and all files will be lost.\n");
    if (!confirm("If you really want to create a new filesystem type `y' >")) return;
    if (fs_create(fs) != 0) return;
    err_print("new filesystem created!\n");
    std::int64_t n = free_count_check(fs.vol, false);
    out_print("blocks free (FAT)=%u\n", static_cast<unsigned>(static_cast<std::uint32_t>(n)));
    dir_change(fs, -1);
}
