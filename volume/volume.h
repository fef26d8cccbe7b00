// The open volume: descriptor, read-only flag, header images and FAT cache,
// with the only three ways the system touches the volume (one block read,
// one block written, a run of blocks moved along a chain).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "format.h"

constexpr int FAT_CACHE_SLOTS = 8;
constexpr std::uint64_t FAT_SLOT_EMPTY = ~std::uint64_t{0};

// Write-back cache of eight FAT blocks through which every FAT entry is read
// and written.
struct FatCache {
    std::array<Block, FAT_CACHE_SLOTS> buffer{};
    // Index k of the FAT block held by each slot (disk block k + 5), or
    // FAT_SLOT_EMPTY.
    std::array<std::uint64_t, FAT_CACHE_SLOTS> fat_block{};
    std::array<int, FAT_CACHE_SLOTS> dirty{};
    // Rotating counter that steers the choice of a victim; advanced by every
    // lookup and never reset.
    int victim_counter = 0;
    // Read-ahead of a sequential scan (free count, allocator search): a run
    // of FAT blocks read in one call, from which a miss loads its block
    // instead of reading it alone. ahead_limit is 0 outside a scan.
    std::unique_ptr<std::uint8_t[]> ahead;  // not zero-filled: always read into first
    std::uint64_t ahead_capacity = 0;       // blocks ahead can hold
    std::uint64_t ahead_first = 0;  // FAT block index of the first block held
    std::uint64_t ahead_count = 0;  // blocks held
    std::uint64_t ahead_limit = 0;  // blocks the next read-ahead may take

    FatCache() { fat_block.fill(FAT_SLOT_EMPTY); }
};

struct Volume {
    int fd = -1;
    bool read_only = false;
    bool locked = false;  // holds the exclusive advisory lock
    Block devid{};        // block 1, DeviceIdBlock
    Block os{};           // block 2, OsBlock
    FatCache fat;
    std::uint64_t blocks_read = 0;  // I/O statistics, for tests
    std::uint64_t blocks_written = 0;
    // Raised by every write to the volume: a caller that caches what it
    // read keeps the value it read at and reads again once it differs.
    std::uint64_t changes = 0;
    // Blocks were written since the last barrier or sync.
    bool unsynced = false;
    // Calls of fat_command_end: a program that ends each of its commands
    // with one leaves it out when an operation already made it.
    std::uint64_t command_ends = 0;
    // Bulk mode, for the programs not held to zvkfm's order of writes (zvk
    // and its server): the allocator's search starts at free_hint, below
    // which no data block is free, and the free-block counter reaches
    // block 2 with the FAT at the next flush instead of at every change (a
    // crash in between leaves a stale counter, which a check corrects).
    bool bulk = false;
    std::uint64_t free_hint = 0;
    bool counter_dirty = false;

    Volume() = default;
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;
    ~Volume();
};

enum class Direction { read, write };

// Largest unsigned count: transfer until the end of the chain.
constexpr std::uint64_t CHAIN_ALL = ~std::uint64_t{0};

// TOTAL_BLK_NR, taken from the device-id image at each use.
inline std::uint32_t total_blocks(const Volume& v) {
    return be32_get(v.devid.data() + devid::TOTAL_BLK_NR);
}
inline std::uint32_t free_counter(const Volume& v) {
    return be32_get(v.os.data() + osblk::FREE_BLOCKS);
}
inline void set_free_counter(Volume& v, std::uint32_t n) {
    be32_put(v.os.data() + osblk::FREE_BLOCKS, n);
}

// Open the device or image (read-write, else read-only with a notice), reset
// the FAT cache and read the header blocks: 0, -1 (cannot open), -2 (headers
// unreadable).
int volume_open(Volume& v, const char* path);

// Open for checking only: read-only, without the lock (so a check may run
// beside a program that holds the volume), reset the FAT cache and read the
// header blocks. 0, -1 (cannot open), -2 (headers unreadable); silent.
int volume_open_readonly(Volume& v, const char* path);

// Open for repair: read-write with the exclusive lock, never falling back
// to read-only. 0, -1 (cannot open for writing), -2 (headers unreadable),
// -3 (another program holds the lock); silent.
int volume_open_exclusive(Volume& v, const char* path);

// Read block 1 into the device-id image and block 2 into the OS image: 0 or -1.
int headers_read(Volume& v);

// Read block n into buf (512 bytes): 0, -1 (bounds or seek), -2 (short read).
int block_read(Volume& v, std::uint8_t* buf, std::uint64_t n);

// Read count consecutive blocks from block first into buf in as few calls
// as the host allows: 0, -1 (bounds or seek), -2 (short read). Silent.
int block_read_run(Volume& v, std::uint8_t* buf, std::uint64_t first, std::uint64_t count);

// Write 512 bytes from buf as block n: 0, -1 (read-only or bounds),
// -2 (seek), -3 (short write).
int block_write(Volume& v, const std::uint8_t* buf, std::uint64_t n);

// Read up to count consecutive blocks from block n into buf in one call,
// silently and without bounds checks: the number of whole blocks read, fewer
// at the end of the image or on an error.
std::uint64_t blocks_read_ahead(Volume& v, std::uint8_t* buf, std::uint64_t n, std::uint64_t count);

// Write count consecutive blocks from buf from block n on, in large calls,
// with the checks, messages and result of block_write block by block.
int blocks_write(Volume& v, const std::uint8_t* buf, std::uint64_t n, std::uint64_t count);

// Move up to count blocks between buf and the chain that starts at block
// start, the first contiguous blocks taken as consecutive numbers: 0 (chain
// ended on its end mark), 1 (count ran out), -1 (I/O or read-only),
// -2 (FAT unreadable), -3 (free block), -4 (bad block), -5 (run too long).
int chain_transfer(Volume& v, std::uint8_t* buf, std::uint64_t start, std::uint64_t contiguous,
                   std::uint64_t count, Direction dir);

// A run of consecutive blocks of a chain.
struct BlockRun {
    std::uint64_t first;
    std::uint64_t count;
};

// Follow up to count blocks of the chain as chain_transfer does, with the
// same FAT lookups, checks, messages and result, noting the blocks in runs
// instead of moving them; a block beyond the end of an image file fails as
// its read would. The blocks then move with runs_to_host.
int chain_map(Volume& v, std::uint64_t start, std::uint64_t contiguous, std::uint64_t count, Direction dir,
              std::vector<BlockRun>& runs);

// Copy the blocks of runs to the host file at its offset, without a copy in
// memory where both are files, else through one reused 1 MB buffer:
// 0, -1 (a block could not be read: reported), -2 (the host file took less),
// -4 (no memory for the buffer).
int runs_to_host(Volume& v, const std::vector<BlockRun>& runs, int host_fd);

// Fill the blocks of runs from the host file: its first bytes bytes from
// offset 0, then zeros to the end of the last block, through one reused
// 1 MB buffer: 0, -1 (a block could not be written: reported), -3 (the host
// file gave less than bytes: not reported), -4 (no memory for the buffer).
int runs_from_host(Volume& v, const std::vector<BlockRun>& runs, int host_fd, std::uint64_t bytes);

// Copy the blocks of from, in order, to the blocks of to (as many as the
// shorter holds): 0, -1 (a block could not be read), -2 (a block could not
// be written), both reported; -4 (no memory for the buffer).
int runs_copy(Volume& v, const std::vector<BlockRun>& from, const std::vector<BlockRun>& to);

// Make the volume's contents durable (after the FAT was written back).
void volume_sync(Volume& v);

// Make every write so far durable before the next one is made, when any
// block was written since the last barrier: 0, or -1 when the device
// refused. Nothing is done on a read-only volume.
int volume_barrier(Volume& v);
