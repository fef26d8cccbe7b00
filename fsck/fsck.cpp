// The command line, opening the volume, the header and FAT checks, the
// order of the passes, the free-block counter and the summary.
#include "fsck.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "fat.h"

namespace {

int usage() {
    err_print("usage: zvkfsck [-n | -y] [-v] IMAGE-OR-DEVICE\n");
    return FSCK_USAGE;
}

// Blocks the image or device holds.
std::uint64_t image_blocks(int fd) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size) / BLOCK_SIZE;
    const off_t end = lseek(fd, 0, SEEK_END);
    return end > 0 ? static_cast<std::uint64_t>(end) / BLOCK_SIZE : 0;
}

int open_volume(Fsck& f, const char* path) {
    if (f.mode == RepairMode::check_only) {
        const int r = volume_open_readonly(f.vol, path);
        if (r == -1) err_print("error: can't open `%s'.\n", path);
        return r;
    }
    const int r = volume_open_exclusive(f.vol, path);
    if (r == -1) err_print("error: can't open `%s' for writing (zvkfsck -n only checks it).\n", path);
    if (r == -3)
        err_print("error: `%s' is in use by another program; not repairing it (zvkfsck -n checks it).\n", path);
    return r;
}

// Read the whole FAT into the copy, noting the blocks without signature:
// false when a FAT block cannot be read or there is no memory for it.
bool load_fat(Fsck& f, std::vector<std::uint32_t>& unsigned_blocks) {
    const std::uint64_t blocks = f.ds - FAT_FIRST_BLOCK;
    f.fat = zero_array<std::uint8_t>(blocks * BLOCK_SIZE);
    f.owner = zero_array<std::uint32_t>(f.total);
    f.indeg = zero_array<std::uint8_t>(f.total);
    if (!f.fat || !f.owner || !f.indeg) {
        err_print("error: out of memory.\n");
        f.failed = true;
        return false;
    }
    if (block_read_run(f.vol, f.fat.get(), FAT_FIRST_BLOCK, blocks) != 0) {
        // Find the first block that cannot be read, for the report.
        std::uint64_t k = 0;
        while (k < blocks && block_read_run(f.vol, f.fat.get() + k * BLOCK_SIZE, FAT_FIRST_BLOCK + k, 1) == 0) ++k;
        problem(f, fmt("FAT block %llu", static_cast<unsigned long long>(FAT_FIRST_BLOCK + k)), "unreadable", nullptr);
        return false;
    }
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const std::uint8_t* sig = f.fat.get() + k * BLOCK_SIZE + FAT_SIGNATURE;
        if (sig[0] != 'F' || sig[1] != 'B') unsigned_blocks.push_back(static_cast<std::uint32_t>(FAT_FIRST_BLOCK + k));
    }
    for_each_data_entry(f, [&f](std::uint64_t, std::uint32_t v) {
        if (v >= 3 && v < f.total && f.indeg[v] < 255) ++f.indeg[v];
    });
    return true;
}

void sign_fat_blocks(Fsck& f, const std::vector<std::uint32_t>& blocks) {
    for (std::uint32_t b : blocks) {
        if (!problem(f, fmt("FAT block %u", b), "lacks its signature", "signature written")) continue;
        const int slot = fat_slot_for(f.vol, (b - FAT_FIRST_BLOCK) * FAT_ENTRIES_PER_BLOCK);
        if (slot < 0) {
            f.failed = true;
            return;
        }
        f.vol.fat.buffer[slot][FAT_SIGNATURE] = 'F';
        f.vol.fat.buffer[slot][FAT_SIGNATURE + 1] = 'B';
        f.vol.fat.dirty[slot] = 1;
    }
    commit(f);
}

// Header and FAT: 0 to go on, else the exit status.
int check_headers(Fsck& f, const char* path) {
    f.total = total_blocks(f.vol);
    if (f.total <= ROOT_DIR_BLOCK + 2) {
        err_print("error: `%s' holds no volume (TOTAL_BLK_NR %u).\n", path, f.total);
        return FSCK_ERROR;
    }
    f.ds = static_cast<std::uint32_t>(data_start(f.total));
    const std::uint64_t have = image_blocks(f.vol.fd);
    if (have < f.total) {
        problem(f, "volume", fmt("image holds %llu blocks but TOTAL_BLK_NR is %u",
                                 static_cast<unsigned long long>(have), f.total), nullptr);
        return FSCK_LEFT;
    }
    std::vector<std::uint32_t> unsigned_blocks;
    if (!load_fat(f, unsigned_blocks)) return f.failed ? FSCK_ERROR : FSCK_LEFT;
    if (f.verbose)
        out_print("volume: %u blocks, FAT blocks 5-%u, data area %u-%u\n", f.total, f.ds - 1, f.ds, f.total - 1);
    sign_fat_blocks(f, unsigned_blocks);
    return 0;
}

bool load_root(Fsck& f) {
    DirNode root;
    if (block_read(f.vol, root.image.data(), ROOT_DIR_BLOCK) != 0 ||
        block_read(f.vol, root.image.data() + BLOCK_SIZE, ROOT_DIR_BLOCK + 1) != 0) {
        problem(f, "/", "root directory unreadable", nullptr);
        return false;
    }
    std::memcpy(root.name.data(), ROOT_NAME, NAME_LEN);
    root.stored = root.image;
    root.loaded = true;
    f.dirs.push_back(std::move(root));
    f.dir_at[ROOT_DIR_BLOCK] = 0;
    f.queue.push_back(0);
    return true;
}

std::uint32_t count_free(const Fsck& f) {
    std::uint32_t n = 0;
    for_each_data_entry(f, [&n](std::uint64_t, std::uint32_t v) { n += v == FAT_FREE; });
    return n;
}

// Pass 6: the free-block counter against the FAT as the repairs left it.
void check_free_counter(Fsck& f) {
    const std::uint32_t n = count_free(f);
    const std::uint32_t counter = free_counter(f.vol);
    if (n == counter || !problem(f, "free-block counter", fmt("is %u but the FAT has %u free blocks", counter, n),
                                 fmt("counter set to %u", n).c_str()))
        return;
    set_free_counter(f.vol, n);
    if (!commit(f) || block_write(f.vol, f.vol.os.data(), 2) != 0 || volume_barrier(f.vol) != 0) f.failed = true;
}

int summary(Fsck& f) {
    const std::uint32_t free_blocks = count_free(f);
    std::uint32_t dirs = 0;
    for (std::size_t i = 1; i < f.dirs.size(); ++i) dirs += f.dirs[i].kept >= 0;
    if (f.problems)
        out_print("%llu problems found, %llu repaired\n", static_cast<unsigned long long>(f.problems),
                  static_cast<unsigned long long>(f.repaired));
    out_print("%llu files, %u directories, %u blocks used, %u blocks free\n",
              static_cast<unsigned long long>(f.files), dirs, f.total - f.ds - free_blocks, free_blocks);
    if (f.failed) return FSCK_ERROR;
    if (f.problems == 0) return FSCK_OK;
    return f.repaired == f.problems ? FSCK_REPAIRED : FSCK_LEFT;
}

}  // namespace

int fsck_run(const char* path, RepairMode mode, bool verbose) {
    Fsck f;
    f.mode = mode;
    f.verbose = verbose;
    const int opened = open_volume(f, path);
    if (opened == -1 || opened == -3) return FSCK_ERROR;
    if (opened == -2) {
        problem(f, "volume", "header blocks unreadable", nullptr);
        return FSCK_LEFT;
    }
    if (int r = check_headers(f, path); r != 0) return r;
    if (!load_root(f)) return FSCK_LEFT;
    walk_all(f);                                   // pass 1
    if (!f.failed) reattach_lost_dirs(f);          // pass 2
    if (!f.failed) resolve_second_paths(f);        // pass 3
    if (!f.failed) check_links_and_counts(f);      // pass 4
    if (!f.failed) salvage_lost_chains(f);         // pass 5
    if (!f.failed) check_free_counter(f);          // pass 6
    // The last repair is durable before the report says it was made.
    if (!f.failed && volume_barrier(f.vol) != 0) f.failed = true;
    if (f.failed) err_print("error: a write failed; the volume was left where the last step ended.\n");
    return summary(f);
}

int zvkfsck_main(int argc, char** argv) {
    bool check = false, yes = false, verbose = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] == '-' && a[1] != '\0') {
            for (const char* c = a + 1; *c; ++c) {
                if (*c == 'n') check = true;
                else if (*c == 'y') yes = true;
                else if (*c == 'v') verbose = true;
                else return usage();
            }
        } else if (!path) {
            path = a;
        } else {
            return usage();
        }
    }
    if (!path || (check && yes)) return usage();
    RepairMode mode = RepairMode::all;
    if (!yes) mode = !check && isatty(fileno(console.in)) ? RepairMode::ask : RepairMode::check_only;
    return fsck_run(path, mode, verbose);
}
