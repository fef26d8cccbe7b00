#include "fat.h"

#include <algorithm>

#include "console.h"

void fat_cache_reset(Volume& v) {
    v.fat.fat_block.fill(FAT_SLOT_EMPTY);
    v.fat.dirty.fill(0);
}

namespace {

// Write slot i back to its FAT block: true when written. Rewriting a clean
// slot changes nothing on the volume, so it asks for no barrier.
bool write_back(Volume& v, int i) {
    const bool unsynced = v.unsynced;
    const bool ok = block_write(v, v.fat.buffer[i].data(), v.fat.fat_block[i] + FAT_FIRST_BLOCK) == 0;
    if (ok && !v.fat.dirty[i]) v.unsynced = unsynced;
    return ok;
}

}  // namespace

int fat_slot_for(Volume& v, std::uint64_t n) {
    FatCache& c = v.fat;
    const int next = (c.victim_counter + 1) % FAT_CACHE_SLOTS;
    c.victim_counter = next;
    const std::uint64_t k = fat_block_of(n);

    for (int i = 0; i < FAT_CACHE_SLOTS; ++i)
        if (c.fat_block[i] == k) return i;

    int victim = -1;
    for (int i = 0; i < FAT_CACHE_SLOTS; ++i) {
        if (c.fat_block[i] == FAT_SLOT_EMPTY) {
            victim = i;
            break;
        }
    }
    if (victim < 0) {
        int clean = -1;
        for (int step = 0; step < FAT_CACHE_SLOTS; ++step) {
            int i = (next + step) % FAT_CACHE_SLOTS;
            if (!c.dirty[i]) {
                clean = i;
                break;
            }
        }
        if (clean >= 0 && next % 2 == 0) {
            victim = clean;
        } else {
            // The victim named by the counter is written back even when clean.
            victim = next;
            if (v.read_only) {
                err_print("error: can't write FAT, device readonly.\n");
            } else if (!write_back(v, victim)) {
                err_print("error: can't write FAT.\n");
                // Reusing the slot would drop links never written: keep it
                // and fail this lookup, so the change that needed it fails.
                if (c.dirty[victim]) return -1;
            }
        }
    }

    if (block_read(v, c.buffer[victim].data(), k + FAT_FIRST_BLOCK) != 0) {
        c.fat_block[victim] = FAT_SLOT_EMPTY;
        c.dirty[victim] = 0;
        return -1;
    }
    c.dirty[victim] = 0;
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
    return 0;
}

std::uint64_t fat_count_free(Volume& v, bool* complete) {
    std::uint64_t count = 0;
    if (complete) *complete = true;
    const std::uint64_t total = total_blocks(v);
    std::uint64_t b = data_start(total_blocks(v));
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
        const std::uint8_t* const stop = p + (end - b) * FAT_ENTRY_SIZE;
        for (; p != stop; p += FAT_ENTRY_SIZE) count += (p[0] | p[1] | p[2]) == 0;
        v.fat.victim_counter = static_cast<int>((v.fat.victim_counter + (end - b - 1)) % FAT_CACHE_SLOTS);
        b = end;
    }
    return count;
}

namespace {

// Lowest free block in [from, TOTAL_BLK_NR): true and *found, or false when
// there is none or a FAT block cannot be read.
bool next_free_block(Volume& v, std::uint64_t from, std::uint64_t* found) {
    const std::uint64_t total = total_blocks(v);
    for (std::uint64_t b = from; b < total; ++b) {
        std::int64_t e = fat_get(v, b);
        if (e < 0) return false;
        if (e == FAT_FREE) {
            *found = b;
            return true;
        }
    }
    return false;
}

int write_os_block(Volume& v) {
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

    std::uint64_t first;
    if (!next_free_block(v, *start, &first)) return no_contiguous_blocks();

    // The leading run: contig consecutive free blocks, starting over at the
    // next free block whenever a used one interrupts it.
    std::uint64_t d = 0;
    while (d + 1 < *contig) {
        std::uint64_t b0 = first + d + 1;
        if (b0 >= total_blocks(v)) return no_contiguous_blocks();
        std::uint64_t b;
        if (!next_free_block(v, b0, &b)) return no_contiguous_blocks();
        if (b == b0) {
            ++d;
        } else {
            first = b;
            d = 0;
        }
    }

    *start = first;
    std::uint64_t linked = 1;
    std::uint64_t last = first;
    bool adjacent = true;
    while (linked < count) {
        std::uint64_t succ;
        if (linked < *contig) {
            succ = last + 1;
        } else {
            if (last + 1 >= total_blocks(v) || !next_free_block(v, last + 1, &succ)) {
                err_print("error: can't find enough free blocks.\n");
                break;
            }
            if (succ == last + 1 && adjacent)
                ++*contig;
            else if (succ != last + 1)
                adjacent = false;
        }
        if (succ >= total_blocks(v) || fat_set(v, last, static_cast<std::uint32_t>(succ)) != 0) {
            err_print("error: can't set next block.\n");
            break;
        }
        ++linked;
        last = succ;
    }
    if (total_blocks(v) < 2 || fat_set(v, last, FAT_EOF) != 0) {
        err_print("error: can't set EOF.\n");
        --linked;
    }

    if (linked != count) {
        err_print("error: can't create file.\n");
        if (linked > 0) {
            std::uint64_t s = *start;
            std::uint64_t freed = 0;
            if (fat_free_chain(v, &s, linked, &freed) != 0) err_print("error: blocks lost.\n");
        }
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
    return result;
}

int fat_commit(Volume& v) {
    if (v.read_only) return 0;
    const int flushed = fat_flush(v);
    const int barrier = volume_barrier(v);
    return flushed == 0 && barrier == 0 ? 0 : -1;
}

int fat_command_end(Volume& v) {
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
