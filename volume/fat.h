// FAT cache and block allocation: every FAT entry is read and written
// through the eight-slot write-back cache of the Volume; chains are
// allocated and freed here and the free-block counter in block 2 is kept.
#pragma once

#include <cstdint>

#include "volume.h"

// Mark all eight slots empty and clean without writing anything.
void fat_cache_reset(Volume& v);

// Slot (0-7) holding the FAT block with the entry of block n, loading it and
// evicting a victim when needed; -1 when the FAT block cannot be read.
// Callers check n against TOTAL_BLK_NR first.
int fat_slot_for(Volume& v, std::uint64_t n);

// FAT entry of block n: its value, FAT_BAD when n is beyond the volume, or
// -1 when the FAT block cannot be read.
std::int64_t fat_get(Volume& v, std::uint64_t n);

// Set the FAT entry of block n: 0, -1 when n is beyond the volume, -2 when
// the FAT block cannot be read.
int fat_set(Volume& v, std::uint64_t n, std::uint32_t value);

// Number of free entries from data_start to TOTAL_BLK_NR - 1. Stops at the
// first FAT block that cannot be read; *complete tells whether it did.
std::uint64_t fat_count_free(Volume& v, bool* complete = nullptr);

// Lowest free block at or after from: true with *found, or false when there
// is none or a FAT block cannot be read. Silent.
bool fat_next_free(Volume& v, std::uint64_t from, std::uint64_t* found);

// Link a chain of count blocks: the first run of *contig free blocks at or
// after *start, then the next free blocks. On success *start is the first
// block, *contig the run obtained, and the free-block counter is lowered and
// written: 0, -1 (read-only), -2 (no chain, nothing changed), -3 (chain
// linked but block 2 not written).
int fat_alloc_chain(Volume& v, std::uint64_t* start, std::uint64_t count, std::uint64_t* contig);

// Free at most limit blocks of the chain at *start: 0 (freed up to its end
// mark), -1 (read-only), -2 (FAT unreadable), -3 (entry not written),
// -4 (bad block or beyond the volume), -5 (limit reached), -6 (free block).
int fat_free_chain(Volume& v, std::uint64_t* start, std::uint64_t limit, std::uint64_t* freed);

// Free the chain at start (at most count blocks) and raise the free-block
// counter by the blocks freed; with start 0 only add count to the counter.
// 0, -1 (read-only), -3 (block 2 not written).
int blocks_release(Volume& v, std::uint64_t start, std::uint64_t count);

// Write every dirty slot back: 0, -1 (a write failed), -2 (read-only).
int fat_flush(Volume& v);

// The step between two ordered parts of a change: write the dirty FAT
// blocks back, then make every write so far durable. 0, or -1 when a FAT
// block could not be written (its slot stays dirty) or the device refused
// the barrier. Silent and a no-op on a read-only volume.
int fat_commit(Volume& v);

// The step every command ends with: the dirty FAT blocks are written back
// ("error: can't write FAT.\n" when one is refused): 0 or -1; nothing after
// a command that left nothing to write, and on a read-only volume. Every
// call is counted in Volume::command_ends. No
// barrier: what a command writes last (an entry made reachable after its
// chain was made durable, counts lowered and blocks freed after a cleared
// entry was) may reach the device after the next command's first writes,
// and that command's first barrier comes before anything depends on it.
int fat_command_end(Volume& v);

// Count the free FAT entries and compare with the free-block counter,
// correcting the counter on request: the count, or -1.
std::int64_t free_count_check(Volume& v, bool correct);
