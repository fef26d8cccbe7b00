#include "fat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "console.h"

void fat_cache_reset(Volume& v) {
    v.fat.fat_block.fill(FAT_SLOT_EMPTY);
    v.fat.dirty.fill(0);
    v.free_hint = 0;
}

namespace {

// Bit i set for each byte i of the 48 at p that is zero.
std::uint64_t zero_bytes48(const std::uint8_t* p) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    std::uint64_t mask = 0;
    for (int w = 0; w < 6; ++w) {
        std::uint64_t x;
        std::memcpy(&x, p + 8 * w, 8);
        if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
        // High bit of each byte set when the byte is not zero, then one bit
        // per byte gathered into the top byte by the multiply.
        std::uint64_t nz = (((x & low7) + low7) | x) & ~low7;
        std::uint64_t bits = ((nz >> 7) * 0x0102040810204080ULL) >> 56;
        mask |= (~bits & 0xFF) << (8 * w);
    }
    return mask;
}

// Bit 3j set for each entry j of the 16 at p that is free.
std::uint64_t free_mask16(const std::uint8_t* p) {
    constexpr std::uint64_t firsts = 0x249249249249ULL;  // bits 0, 3, ..., 45
    const std::uint64_t z = zero_bytes48(p);
    return z & (z >> 1) & (z >> 2) & firsts;
}

// Number of set bits, without relying on a machine instruction for it.
int bits_set(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

bool entry_free(const std::uint8_t* p) { return (p[0] | p[1] | p[2]) == 0; }

// Number of free entries among the n entries at p.
std::uint64_t free_entries(const std::uint8_t* p, std::size_t n) {
    std::uint64_t count = 0;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16, p += 16 * FAT_ENTRY_SIZE)
        count += static_cast<std::uint64_t>(bits_set(free_mask16(p)));
    for (; i < n; ++i, p += FAT_ENTRY_SIZE) count += entry_free(p);
    return count;
}

// Index of the first free entry among the n entries at p, or n.
std::size_t first_free_entry(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16, p += 16 * FAT_ENTRY_SIZE) {
        const std::uint64_t m = free_mask16(p);
        if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m)) / 3;
    }
    for (; i < n; ++i, p += FAT_ENTRY_SIZE)
        if (entry_free(p)) return i;
    return n;
}

// Largest run of FAT blocks a read-ahead takes (64 KB: one call moves
// enough to make the call's cost small, and the run stays in the CPU cache).
constexpr std::uint64_t AHEAD_MAX_BLOCKS = 128;

// Fill the read-ahead with the run of FAT blocks from k, as long as the
// scan's limit, the FAT and the volume allow.
void ahead_fill(Volume& v, std::uint64_t k) {
    FatCache& c = v.fat;
    const std::uint32_t total = total_blocks(v);
    c.ahead_count = 0;
    if (total <= FAT_FIRST_BLOCK || k >= total - FAT_FIRST_BLOCK) return;
    const std::uint64_t fat_blocks = (std::uint64_t{total} - 1) / FAT_ENTRIES_PER_BLOCK + 1;
    if (k >= fat_blocks) return;
    const std::uint64_t n = std::min({c.ahead_limit, fat_blocks - k, total - FAT_FIRST_BLOCK - k});
    if (c.ahead_capacity < n) {
        // Without memory for it the scan reads block by block.
        c.ahead.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(n * BLOCK_SIZE)]);
        c.ahead_capacity = c.ahead ? n : 0;
        if (!c.ahead) return;
    }
    c.ahead_first = k;
    c.ahead_count = blocks_read_ahead(v, c.ahead.get(), k + FAT_FIRST_BLOCK, n);
    c.ahead_limit = std::min(c.ahead_limit * 2, AHEAD_MAX_BLOCKS);
}

// Load FAT block k into slot i: from the read-ahead during a scan, else
// read alone (which reports a failure). 0, or -1 when it cannot be read.
int slot_load(Volume& v, int i, std::uint64_t k) {
    FatCache& c = v.fat;
    if (c.ahead_limit > 0) {
        if (k < c.ahead_first || k - c.ahead_first >= c.ahead_count) ahead_fill(v, k);
        if (k >= c.ahead_first && k - c.ahead_first < c.ahead_count) {
            const std::uint8_t* src = c.ahead.get() + (k - c.ahead_first) * BLOCK_SIZE;
            std::copy(src, src + BLOCK_SIZE, c.buffer[i].data());
            ++v.blocks_read;
            return 0;
        }
    }
    return block_read(v, c.buffer[i].data(), k + FAT_FIRST_BLOCK) == 0 ? 0 : -1;
}

// Write back the slot chosen as victim. A clean slot holds what the volume
// holds, so on a writable volume nothing is written for it; a read-only
// volume reports every such write back it cannot make. 0, or -1 when a
// dirty slot could not be written (reported).
int slot_write_back(Volume& v, int i) {
    FatCache& c = v.fat;
    if (v.read_only) {
        err_print("error: can't write FAT, device readonly.\n");
        return 0;
    }
    if (!c.dirty[i]) return 0;
    // The read-ahead may hold the old bytes of this block: drop it.
    if (c.fat_block[i] >= c.ahead_first && c.fat_block[i] - c.ahead_first < c.ahead_count) c.ahead_count = 0;
    if (block_write(v, c.buffer[i].data(), c.fat_block[i] + FAT_FIRST_BLOCK) == 0) return 0;
    err_print("error: can't write FAT.\n");
    return -1;
}

// Scope of a sequential scan of the FAT: misses load from read-ahead runs
// that start at first_run blocks and double up to 64 KB.
struct FatScan {
    Volume& v;
    FatScan(Volume& vol, std::uint64_t first_run) : v(vol) {
        v.fat.ahead_limit = first_run;
        v.fat.ahead_count = 0;
    }
    FatScan(const FatScan&) = delete;
    FatScan& operator=(const FatScan&) = delete;
    ~FatScan() {
        v.fat.ahead_limit = 0;
        v.fat.ahead_count = 0;
    }
};

// Count the lookups of the other entries of a FAT block, each a hit on its
// slot, as those lookups would have advanced the victim counter.
void count_hits(Volume& v, std::uint64_t hits) {
    v.fat.victim_counter = static_cast<int>((v.fat.victim_counter + hits) % FAT_CACHE_SLOTS);
}

// The slot a lookup that missed loads into, the counter at next: an empty
// one; else on an even counter the first clean slot from next on; else the
// slot next names, written back first. -1 when that write back failed: the
// slot keeps its links (reusing it would drop links never written), so the
// lookup fails and the change that needed it fails with it.
int pick_victim(Volume& v, int next) {
    FatCache& c = v.fat;
    for (int i = 0; i < FAT_CACHE_SLOTS; ++i)
        if (c.fat_block[i] == FAT_SLOT_EMPTY) return i;
    for (int step = 0; next % 2 == 0 && step < FAT_CACHE_SLOTS; ++step) {
        const int i = (next + step) % FAT_CACHE_SLOTS;
        if (!c.dirty[i]) return i;
    }
    return slot_write_back(v, next) == 0 ? next : -1;
}

}  // namespace

int fat_slot_for(Volume& v, std::uint64_t n) {
    FatCache& c = v.fat;
    const int next = (c.victim_counter + 1) % FAT_CACHE_SLOTS;
    c.victim_counter = next;
    const std::uint64_t k = fat_block_of(n);
    for (int i = 0; i < FAT_CACHE_SLOTS; ++i)
        if (c.fat_block[i] == k) return i;
    const int victim = pick_victim(v, next);
    if (victim < 0) return -1;
    c.dirty[victim] = 0;
    if (slot_load(v, victim, k) != 0) {
        c.fat_block[victim] = FAT_SLOT_EMPTY;
        return -1;
    }
    c.fat_block[victim] = k;
    return victim;
}

std::int64_t fat_get(Volume& v, std::uint64_t n) {
    if (n >= total_blocks(v)) return FAT_BAD;
    int slot = fat_slot_for(v, n);
    if (slot < 0) return -1;
    return be24_get(v.fat.buffer[slot].data() + fat_offset_of(n));
}

int fat_set(Volume& v, std::uint64_t n, std::uint32_t value) {
    if (n >= total_blocks(v)) return -1;
    int slot = fat_slot_for(v, n);
    if (slot < 0) return -2;
    v.fat.dirty[slot] = 1;
    be24_put(v.fat.buffer[slot].data() + fat_offset_of(n), value);
    if (value == FAT_FREE && n < v.free_hint) v.free_hint = n;
    return 0;
}

std::uint64_t fat_count_free(Volume& v, bool* complete) {
    std::uint64_t count = 0;
    if (complete) *complete = true;
    const std::uint64_t total = total_blocks(v);
    std::uint64_t b = data_start(total_blocks(v));
    FatScan scan(v, AHEAD_MAX_BLOCKS);
    while (b < total) {
        int slot = fat_slot_for(v, b);
        if (slot < 0) {
            if (complete) *complete = false;
            break;
        }
        // The other entries of this FAT block are each one more lookup, and
        // every one of them is a hit on this slot: count them straight from
        // the buffer and advance the victim counter as those lookups would.
        const std::uint64_t end = std::min(total, (fat_block_of(b) + 1) * FAT_ENTRIES_PER_BLOCK);
        const std::uint8_t* p = v.fat.buffer[slot].data() + fat_offset_of(b);
        count += free_entries(p, static_cast<std::size_t>(end - b));
        count_hits(v, end - b - 1);
        b = end;
    }
    return count;
}

namespace {

// Lowest free block in [from, TOTAL_BLK_NR): true and *found, or false when
// there is none or a FAT block cannot be read. Looks the entries up one FAT
// block at a time, with the victim counter advanced as per entry.
bool next_free_block(Volume& v, std::uint64_t from, std::uint64_t* found) {
    const std::uint64_t total = total_blocks(v);
    // Nothing is free below the hint: a search from there on tells where
    // the lowest free block now is.
    const std::uint64_t floor = std::max<std::uint64_t>(v.free_hint, data_start(total));
    const bool lowest = v.bulk && from <= floor;
    if (lowest) from = floor;
    FatScan scan(v, 1);
    for (std::uint64_t b = from; b < total;) {
        int slot = fat_slot_for(v, b);
        if (slot < 0) return false;
        const std::uint64_t end = std::min(total, (fat_block_of(b) + 1) * FAT_ENTRIES_PER_BLOCK);
        const std::uint8_t* p = v.fat.buffer[slot].data() + fat_offset_of(b);
        const std::size_t i = first_free_entry(p, static_cast<std::size_t>(end - b));
        if (i < end - b) {
            count_hits(v, i);
            *found = b + i;
            if (lowest) v.free_hint = *found;
            return true;
        }
        count_hits(v, end - b - 1);
        b = end;
    }
    if (lowest) v.free_hint = total;
    return false;
}

int write_os_block(Volume& v) {
    if (v.bulk) {
        v.counter_dirty = true;
        return 0;
    }
    if (block_write(v, v.os.data(), 2) != 0) {
        err_print("error: can't update free-blocks entry.\n");
        return -3;
    }
    return 0;
}

int no_contiguous_blocks() {
    err_print("error: can't find contiguous free blocks.\n");
    err_print("error: can't create file.\n");
    return -2;
}

}  // namespace

bool fat_next_free(Volume& v, std::uint64_t from, std::uint64_t* found) { return next_free_block(v, from, found); }

namespace {

// The first block of the leading run: contig consecutive free blocks from
// the first free block at or after from, starting over at the next free
// block whenever a used one interrupts the run. False when there is none.
bool find_run(Volume& v, std::uint64_t from, std::uint64_t contig, std::uint64_t* found) {
    std::uint64_t first;
    if (!next_free_block(v, from, &first)) return false;
    std::uint64_t d = 0;
    while (d + 1 < contig) {
        std::uint64_t b0 = first + d + 1;
        if (b0 >= total_blocks(v)) return false;
        std::uint64_t b;
        if (!next_free_block(v, b0, &b)) return false;
        if (b == b0) {
            ++d;
        } else {
            first = b;
            d = 0;
        }
    }
    *found = first;
    return true;
}

// Link up to count blocks from first: the leading run of *contig blocks,
// then the next free ones, *contig growing while they stay adjacent. The
// number of blocks linked; the last one is in *last, not yet ended.
std::uint64_t link_chain(Volume& v, std::uint64_t first, std::uint64_t count, std::uint64_t* contig,
                         std::uint64_t* last) {
    std::uint64_t linked = 1;
    *last = first;
    bool adjacent = true;
    while (linked < count) {
        std::uint64_t succ;
        if (linked < *contig) {
            succ = *last + 1;
        } else {
            if (*last + 1 >= total_blocks(v) || !next_free_block(v, *last + 1, &succ)) {
                err_print("error: can't find enough free blocks.\n");
                break;
            }
            if (succ == *last + 1 && adjacent)
                ++*contig;
            else if (succ != *last + 1)
                adjacent = false;
        }
        if (succ >= total_blocks(v) || fat_set(v, *last, static_cast<std::uint32_t>(succ)) != 0) {
            err_print("error: can't set next block.\n");
            break;
        }
        ++linked;
        *last = succ;
    }
    return linked;
}

}  // namespace

int fat_alloc_chain(Volume& v, std::uint64_t* start, std::uint64_t count, std::uint64_t* contig) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (count == 0) return write_os_block(v);
    if (*contig > count) {
        err_print("error: can't create file.\n");
        return -2;
    }
    if (*contig == 0) *contig = 1;
    if (!find_run(v, *start, *contig, start)) return no_contiguous_blocks();
    std::uint64_t last;
    std::uint64_t linked = link_chain(v, *start, count, contig, &last);
    if (total_blocks(v) < 2 || fat_set(v, last, FAT_EOF) != 0) {
        err_print("error: can't set EOF.\n");
        --linked;
    }
    if (linked != count) {
        err_print("error: can't create file.\n");
        std::uint64_t s = *start;
        std::uint64_t freed = 0;
        if (linked > 0 && fat_free_chain(v, &s, linked, &freed) != 0) err_print("error: blocks lost.\n");
        return -2;
    }
    set_free_counter(v, free_counter(v) - static_cast<std::uint32_t>(count));
    return write_os_block(v);
}

int fat_free_chain(Volume& v, std::uint64_t* start, std::uint64_t limit, std::uint64_t* freed) {
    *freed = 0;
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    if (limit == 0) return -5;
    std::uint64_t a = *start;
    for (;;) {
        if (a >= total_blocks(v)) {
            err_print("error: bad block in chain.\n");
            return -4;
        }
        std::int64_t e = fat_get(v, a);
        if (e < 0) return -2;
        if (e == FAT_FREE) return -6;
        if (e == FAT_BAD) {
            err_print("error: bad block in chain.\n");
            return -4;
        }
        if (fat_set(v, a, FAT_FREE) != 0) return -3;
        ++*freed;
        if (e == FAT_EOF) return 0;
        *start = static_cast<std::uint64_t>(e);
        if (--limit == 0) return -5;
        a = static_cast<std::uint64_t>(e);
    }
}

int blocks_release(Volume& v, std::uint64_t start, std::uint64_t count) {
    if (v.read_only) {
        err_print("error: device readonly.\n");
        return -1;
    }
    std::uint64_t freed = count;
    if (start != 0) {
        std::uint64_t s = start;
        if (fat_free_chain(v, &s, count, &freed) < 0) err_print("error: blocks lost.\n");
    }
    set_free_counter(v, free_counter(v) + static_cast<std::uint32_t>(freed));
    return write_os_block(v);
}

int fat_flush(Volume& v) {
    if (v.read_only) {
        err_print("error: can't write FAT, device readonly.\n");
        return -2;
    }
    int result = 0;
    for (int i = 0; i < FAT_CACHE_SLOTS; ++i) {
        if (!v.fat.dirty[i]) continue;
        if (block_write(v, v.fat.buffer[i].data(), v.fat.fat_block[i] + FAT_FIRST_BLOCK) == 0)
            v.fat.dirty[i] = 0;
        else
            result = -1;
    }
    if (v.counter_dirty) {
        if (block_write(v, v.os.data(), 2) == 0)
            v.counter_dirty = false;
        else
            result = -1;
    }
    return result;
}

int fat_commit(Volume& v) {
    if (v.read_only) return 0;
    const int flushed = fat_flush(v);
    const int barrier = volume_barrier(v);
    return flushed == 0 && barrier == 0 ? 0 : -1;
}

int fat_command_end(Volume& v) {
    ++v.command_ends;
    if (v.read_only || fat_flush(v) == 0) return 0;
    err_print("error: can't write FAT.\n");
    return -1;
}

std::int64_t free_count_check(Volume& v, bool correct) {
    bool complete = true;
    std::uint64_t n = fat_count_free(v, &complete);
    const std::uint32_t counter = free_counter(v);
    if (n == counter) return static_cast<std::int64_t>(n);
    err_print("warning: nr of free blks inconsistent.\n");
    if (!correct) return static_cast<std::int64_t>(n);
    if (v.read_only) {
        err_print("error: can't correct, device readonly.\n");
        return -1;
    }
    if (!complete) {
        // The count stopped at an unreadable FAT block; rewriting the counter
        // with it would record a wrong number of free blocks.
        err_print("error: can't correct, FAT unreadable.\n");
        return -1;
    }
    blocks_release(v, 0, static_cast<std::uint32_t>(n) - counter);
    err_print("warning: free blks counter adjusted.\n");
    return static_cast<std::int64_t>(n);
}
