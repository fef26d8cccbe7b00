// Adding and removing entries of the working directory while keeping the
// file count of a subdirectory in its parent's entry.
#pragma once

#include <cstdint>
#include <functional>

#include "fs.h"

// Upper-case the first width characters of text (at most 16) into the name
// buffer, padding with spaces; no terminator is written.
const char* name_normalize(Fs& fs, const char* text, int width);

// First empty entry among 1-38, or -2.
int dir_find_free_slot(const Fs& fs);

// Writes the content of a new chain (first block, contiguous run) before
// its entry is stored: 0, or nonzero after saying why.
using ChainFill = std::function<int(std::uint64_t start, std::uint64_t contiguous)>;

// Create entry slot: a new chain of blocks blocks when first_block is 0,
// else an entry pointing at that chain. The slot, or -1 ... -11; on a
// failure nothing is left but what a crash may leave (blocks, a count).
// The order: chain linked and filled, the parent's count raised, then a
// barrier, then the entry stored.
int entry_create(Fs& fs, const char* name, int type, std::uint64_t blocks, std::uint64_t size,
                 std::uint64_t contiguous, std::uint32_t slot, std::uint64_t first_block);

// entry_create for a new chain whose content fill writes first; -13 when
// fill failed and the chain was given back.
int entry_create_filled(Fs& fs, const char* name, int type, std::uint64_t blocks, std::uint64_t size,
                        std::uint64_t contiguous, std::uint32_t slot, const ChainFill& fill);

// Remove entry number, releasing its chain when release is set: 0 or -1 ... -9.
// The order: the entry cleared, a barrier, then the parent's count lowered
// and the chain freed.
int entry_delete(Fs& fs, std::uint32_t number, int release);
