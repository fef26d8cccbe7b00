#include <cstring>
#include <unordered_set>

#include "console.h"
#include "fat.h"
#include "shell.h"

namespace {

constexpr const char* RULE65 = "-----------------------------------------------------------------\n";
constexpr const char* RULE19 = "-------------------\n";

// No chain can be longer than the largest file.
constexpr std::uint64_t FATLIST_MAX_BLOCKS = 65536;

}  // namespace

void cmd_ls(Fs& fs) {
    out_print(" nr | type     dev  id | name         | size  | cont  | startblk \n");
    out_print("%s", RULE65);
    for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(fs.wd.image, i);
        const std::uint8_t type = entry_type(e);
        if (type == TYPE_EMPTY) continue;
        char name[NAME_LEN + 1] = {};
        std::memcpy(name, e + entry_field::NAME, NAME_LEN);
        out_print("%3i | ", static_cast<int>(i));
        out_print("%s%3lu |%13s |%6lu |%6lu |%9lu\n", type_display_name(type), static_cast<unsigned long>(type),
                  name, static_cast<unsigned long>(entry_size(e)),
                  static_cast<unsigned long>(entry_contiguous(e)), static_cast<unsigned long>(entry_start(e)));
    }
    out_print("%s", RULE65);
}

void cmd_types() {
    out_print("  type     dev  id \n");
    out_print("%s", RULE19);
    for (const auto& row : FILE_TYPES) {
        if (row.id == -1) break;
        out_print("  %s%3lu\n", row.name, static_cast<unsigned long>(row.id));
    }
    out_print("%s", RULE19);
}

namespace {

// List the blocks of the chain from block b, one per line, up to its end
// mark or the first fault in it: the number of blocks listed.
std::uint64_t fatlist_chain(Volume& v, std::uint64_t b) {
    std::uint64_t counter = 0;
    std::unordered_set<std::uint64_t> seen;
    for (;;) {
        out_print("%lu\n", static_cast<unsigned long>(b));
        seen.insert(b);
        const std::int64_t next = fat_get(v, b);
        ++counter;
        if (next < 0 || next == FAT_BAD) {
            // An unreadable FAT block ends the walk like a bad block.
            err_print("warning: bad block in chain.\n");
            return counter;
        }
        if (next == FAT_EOF) {
            out_print("=EOF.\n");
            return counter;
        }
        const char* fault = next == FAT_FREE ? "warning: free block in chain.\n" : nullptr;
        b = static_cast<std::uint64_t>(next);
        if (!fault && seen.count(b)) fault = "warning: chain loops.\n";
        if (!fault && counter >= FATLIST_MAX_BLOCKS) fault = "warning: chain too long.\n";
        if (fault) {
            err_print("%s", fault);
            return counter;
        }
    }
}

// What the entry says beside the chain of counter blocks, with the checks.
void fatlist_summary(const std::uint8_t* e, std::uint64_t counter) {
    const auto cont = static_cast<unsigned long>(entry_contiguous(e));
    const auto size = static_cast<unsigned long>(entry_size(e));
    switch (entry_type(e)) {
    case TYPE_PARENT:
        out_print("filenr. of workdir. in parentdir.=%lu\n", cont);
        if (counter != 2) err_print("warning: parentdirectory-size(FAT) wrong.\n");
        break;
    case TYPE_SUBDIR:
        out_print("contiguous(dir.entry)=%lu\n", cont);
        out_print("nr. of files=%lu\n", size);
        if (counter != 2) err_print("warning: directory-size(FAT) wrong.\n");
        break;
    default:
        out_print("contiguous(dir.entry)=%lu\n", cont);
        out_print("size(dir.entry)=%lu\n", size);
        out_print("size(FAT)=%lu\n", static_cast<unsigned long>(counter));
        if (counter != size) err_print("warning: file-size inconsistent.\n");
        break;
    }
}

}  // namespace

void cmd_fatlist(Fs& fs, std::uint32_t n) {
    if (n > MAX_ENTRY_NR) {
        err_print("error: invalid filenr.\n");
        return;
    }
    const std::uint8_t* e = folder_entry(fs.wd, static_cast<int>(n));
    switch (entry_type(e)) {
    case TYPE_PARENT: out_print("\nparentdirectory."); break;
    case TYPE_SUBDIR: out_print("\nsubdirectory."); break;
    case TYPE_EMPTY: err_print("error: no file entry.\n"); return;
    default: out_print("\ndata-file."); break;
    }
    out_print("\nFAT-block-chain of file nr. %i:\nstartblk=\n", static_cast<int>(n));
    const std::uint64_t b = entry_start(e);
    fatlist_summary(e, b != 0 ? fatlist_chain(fs.vol, b) : 0);
}

void cmd_label(Fs& fs) {
    const std::uint8_t* os = fs.vol.os.data();
    const std::uint8_t* id = fs.vol.devid.data();
    auto u = [](unsigned long x) { return x; };
    out_print("OS header:\n");
    out_print("  blocks free=%lu\n", u(be32_get(os + osblk::FREE_BLOCKS)));
    out_print("  OS version major=%lu\n", u(os[osblk::OS_MAJOR]));
    out_print("  OS version minor=%lu\n", u(os[osblk::OS_MINOR]));
    out_print("  ROM version major=%lu\n", u(os[osblk::ROM_MAJOR]));
    out_print("  ROM version minor=%lu\n", u(os[osblk::ROM_MINOR]));
    out_print("device id:\n");
    out_print("  peripheral device type=%lu\n", u(id[devid::PERIPHERAL_TYPE]));
    out_print("  removable media device type=%lu\n", u(id[devid::REMOVABLE_TYPE]));
    out_print("  standard version nr=%lu\n", u(id[devid::STANDARD_VERSION]));
    out_print("  SCSI=%lu\n", u(id[devid::SCSI]));
    out_print("  nr of sectors=%lu\n", u(be16_get(id + devid::SECTORS)));
    out_print("  nr of heads=%lu\n", u(be16_get(id + devid::HEADS)));
    out_print("  nr of cylinders=%lu\n", u(be16_get(id + devid::CYLINDERS)));
    out_print("  nr of bytes per block=%lu\n", u(be32_get(id + devid::BYTES_PER_BLOCK)));
    out_print("  total nr of blocks=%lu\n", u(be32_get(id + devid::TOTAL_BLK_NR)));
    out_print("  SCSI medium type=%lu\n", u(id[devid::MEDIUM_TYPE]));
    out_print("  SCSI density code=%lu\n", u(id[devid::DENSITY_CODE]));
    char label[LABEL_LEN + 1] = {};
    std::memcpy(label, id + devid::LABEL, LABEL_LEN);
    out_print("  disk label=%s\n", label);
}

void cmd_df(Fs& fs, bool correct) {
    std::int64_t n = free_count_check(fs.vol, correct);
    if (n >= 0) out_print("blocks free (FAT)=%u\n", static_cast<unsigned>(static_cast<std::uint32_t>(n)));
}
