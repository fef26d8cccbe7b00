// zvkfsck: check a volume and repair what it finds.
//
// The check runs in passes over an in-memory copy of the FAT: the walk of
// every directory from the root with the chains of its entries (pass 1),
// directories that no entry reaches, reattached in FOUND and walked like
// the others (pass 2), directories reached along more than one path (pass
// 3), parent links and counts (pass 4), the other blocks that no entry
// reaches, saved as files in FOUND (pass 5), and the free-block counter
// (pass 6). Every repair is written at once, in an order a crash cannot
// make worse, and the copy always equals what is on the volume. Directories
// are written, and entries made in FOUND, through the volume layer (fsys.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "format.h"
#include "fsys.h"
#include "volume.h"

enum class RepairMode { check_only, ask, all };

// Exit status, as fsck(8) defines it.
constexpr int FSCK_OK = 0;
constexpr int FSCK_REPAIRED = 1;
constexpr int FSCK_LEFT = 4;
constexpr int FSCK_ERROR = 8;
constexpr int FSCK_USAGE = 16;

// Arrays as large as the volume come zeroed from calloc, so the pages of a
// sparse volume that nothing touches are never even mapped.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using ZeroArray = std::unique_ptr<T[], FreeDeleter>;
template <class T>
ZeroArray<T> zero_array(std::size_t n) {
    return ZeroArray<T>(static_cast<T*>(std::calloc(n ? n : 1, sizeof(T))));
}

// An entry that names a directory: its slot in the directory dirs[dir].
struct DirRef {
    std::uint32_t dir = 0;
    std::uint32_t slot = 0;
    std::string path;  // path of the entry, for messages
};

// One directory met in the walk: a folder of the volume layer (its first
// block, its parent's first block, its name and its image as on the volume)
// with what the check knows of it.
struct DirNode : Folder {
    std::uint32_t second = ROOT_DIR_BLOCK + 1;  // second block
    std::string path;           // "" for the root, else "/A/B"
    std::vector<DirRef> refs;   // entries that reach it, in walk order
    int kept = -1;              // index into refs of its entry; -1: root or not attached
    // False while its chain is broken (left as it is): its two blocks may
    // belong to another chain, so its image is never written.
    bool writable = true;
    // A reattached directory had its parent link rewritten before its entry
    // was made: the link as it was found, which the later passes judge.
    bool relinked = false;
    std::array<std::uint8_t, DIR_ENTRY_SIZE> link_found{};
};

// The parent link of d as the volume held it when the check came to it.
inline const std::uint8_t* link_as_found(const DirNode& d) {
    return d.relinked ? d.link_found.data() : dir_entry(d.image, 0);
}

// One chain claimed by the walk.
struct Chain {
    std::uint32_t first = 0;
    std::uint32_t length = 0;
    std::uint32_t run = 0;  // leading run of consecutive blocks
    bool dir = false;
    std::string owner;      // path of the entry that claimed it first
};

struct Fsck {
    Volume vol;
    RepairMode mode = RepairMode::check_only;
    bool verbose = false;
    bool yes_to_all = false;
    bool failed = false;  // a write failed: repairs stop, exit 8

    std::uint32_t total = 0;
    std::uint32_t ds = 0;  // first block of the data area
    ZeroArray<std::uint8_t> fat;     // the FAT blocks as on the volume (copy)
    ZeroArray<std::uint32_t> owner;  // chain id + 1 of each block, 0 unclaimed
    ZeroArray<std::uint8_t> indeg;   // FAT entries naming each block (saturating)
    std::vector<Chain> chains;
    std::unordered_map<std::uint32_t, std::uint32_t> file_at;  // first block -> chain id
    std::vector<DirNode> dirs;                                 // dirs[0] is the root
    std::unordered_map<std::uint32_t, std::uint32_t> dir_at;   // first block -> dirs index
    std::deque<std::uint32_t> queue;                           // directories to walk
    std::uint32_t alloc_cursor = 0;

    bool links_checked = false;     // pass 4 has judged the parent links
    std::uint32_t found_files = 0;  // highest FILEnnnn and DIRnnnn in FOUND (0: not yet looked)
    std::uint32_t found_dirs = 0;
    bool found_scanned = false;
    bool no_room_said = false;

    std::uint64_t problems = 0;
    std::uint64_t repaired = 0;
    std::uint64_t files = 0;
};

// Run zvkfsck with its command line; the exit status.
int zvkfsck_main(int argc, char** argv);

// Check (and repair, as mode says) the volume at path: the exit status.
int fsck_run(const char* path, RepairMode mode, bool verbose);

// --- report.cpp: messages, questions and the ordered writes -------------

// Report one problem of who; true when it is to be repaired now. action
// (may be null: cannot be repaired) says what the repair does.
bool problem(Fsck& f, const std::string& who, const std::string& what, const char* action);
std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));

bool fat_put(Fsck& f, std::uint32_t b, std::uint32_t value);  // copy and cache
bool commit(Fsck& f);                                          // FAT back, barrier
bool dir_write(Fsck& f, DirNode& d);                           // FAT first, folder_write, barrier
// Point the parent link of directory x at entry slot of directory p (FAT
// first, then the link, then a barrier).
bool dir_relink(Fsck& f, std::uint32_t x, std::uint32_t p, std::uint32_t slot);
// A layer operation's result: false (repairs stop) unless it succeeded.
bool layer_done(Fsck& f, FsErr e);
bool copy_block(Fsck& f, std::uint32_t from, std::uint32_t to);
// The lowest free, unclaimed block at or after from that no FAT entry
// names (so no damaged chain may still hope to reach it); with pair, the
// first of two adjacent such blocks. 0 when there is none.
std::uint32_t find_free(Fsck& f, bool pair);

// action when directory d may be written, else none (the problem stays).
inline const char* act(const Fsck& f, std::uint32_t d, const char* action) {
    return f.dirs[d].writable ? action : nullptr;
}

// Whether the parent link of directory x on the volume names the entry r.
inline bool links_to(const Fsck& f, std::uint32_t x, const DirRef& r) {
    const std::uint8_t* link = dir_entry(f.dirs[x].image, 0);
    return entry_type(link) == TYPE_PARENT && entry_contiguous(link) == r.slot &&
           entry_start(link) == f.dirs[r.dir].start;
}

// Name of entry slot of d as a path component (trailing spaces dropped).
std::string entry_name(const DirNode& d, std::uint32_t slot);
// FAT entry of block b (below TOTAL_BLK_NR) from the copy.
inline std::uint32_t fat_of(const Fsck& f, std::uint64_t b) {
    return be24_get(f.fat.get() + fat_block_of(b) * BLOCK_SIZE + fat_offset_of(b));
}
// Call fn(b, entry) for the FAT entry of every block of the data area, in
// order, one FAT block at a time.
template <class Fn>
void for_each_data_entry(const Fsck& f, Fn fn) {
    for (std::uint64_t k = fat_block_of(f.ds); k * FAT_ENTRIES_PER_BLOCK < f.total; ++k) {
        const std::uint64_t b0 = k * FAT_ENTRIES_PER_BLOCK;
        const std::uint8_t* p = f.fat.get() + k * BLOCK_SIZE;
        const std::uint64_t end = std::min<std::uint64_t>(FAT_ENTRIES_PER_BLOCK, f.total - b0);
        for (std::uint64_t i = b0 < f.ds ? f.ds - b0 : 0; i < end; ++i) fn(b0 + i, be24_get(p + i * FAT_ENTRY_SIZE));
    }
}
inline bool in_data(const Fsck& f, std::uint64_t b) { return b >= f.ds && b < f.total; }
inline bool is_used(std::uint32_t v) { return v != FAT_FREE && v != FAT_BAD; }
// Number of entries a directory holds besides its parent link.
inline std::uint16_t dir_held(const DirImage& img) {
    std::uint16_t n = 0;
    for (std::size_t i = 1; i < DIR_ENTRIES; ++i) n += entry_type(dir_entry(img, i)) != TYPE_EMPTY;
    return n;
}
// Leading run of consecutive block numbers of a chain.
inline std::uint32_t leading_run(const std::vector<std::uint32_t>& blocks) {
    std::uint32_t run = blocks.empty() ? 0 : 1;
    while (run < blocks.size() && blocks[run] == blocks[0] + run) ++run;
    return run;
}

// --- walk.cpp: pass 1 ---------------------------------------------------
void walk_all(Fsck& f);
// Walk the directory of entry slot of d at block b (a subdirectory entry).
void check_subdir(Fsck& f, std::uint32_t d, std::uint32_t slot, const std::string& who);
void clear_entry(Fsck& f, std::uint32_t d, std::uint32_t slot);
// Claim the two blocks of a directory (those not yet held) for a new chain.
void claim_dir_blocks(Fsck& f, std::uint32_t b, std::uint32_t second, const std::string& who);
// Add a directory to the walk, its blocks claimed, and queue it when walk
// is set: its dirs index.
std::uint32_t add_dir(Fsck& f, DirNode node, bool walk);

// --- chains.cpp: file chains ---------------------------------------------
void check_file(Fsck& f, std::uint32_t d, std::uint32_t slot, const std::string& who);
// Mark block b as held by chain id.
void claim(Fsck& f, std::uint32_t id, std::uint32_t b);
std::uint32_t new_chain(Fsck& f, std::uint32_t first, bool dir, const std::string& who);

// --- lost.cpp: passes 2 and 5 --------------------------------------------
void reattach_lost_dirs(Fsck& f);   // pass 2
void salvage_lost_chains(Fsck& f);  // pass 5

// --- links.cpp: passes 3 and 4 -------------------------------------------
void resolve_second_paths(Fsck& f);    // pass 3
void check_links_and_counts(Fsck& f);  // pass 4
