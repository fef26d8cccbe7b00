// Adding and removing entries of the working directory while keeping the
// file count of a subdirectory in its parent's entry.
#pragma once

#include <cstdint>

#include "fs.h"

// Upper-case the first width characters of text (at most 16) into the name
// buffer, padding with spaces; no terminator is written.
const char* name_normalize(Fs& fs, const char* text, int width);

// First empty entry among 1-38, or -2.
int dir_find_free_slot(const Fs& fs);

// Create entry slot: a new chain of blocks blocks when first_block is 0,
// else an entry pointing at that chain. The slot, or -1 ... -11.
int entry_create(Fs& fs, const char* name, int type, std::uint64_t blocks, std::uint64_t size,
                 std::uint64_t contiguous, std::uint32_t slot, std::uint64_t first_block);

// Remove entry number, releasing its chain when release is set: 0 or -1 ... -9.
int entry_delete(Fs& fs, std::uint32_t number, int release);
