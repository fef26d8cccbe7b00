// New and removed entries of the working directory, through the file
// system layer, which orders the writes and keeps the file count of a
// subdirectory in its parent's entry; and the names typed for them.
#pragma once

#include <cstdint>

#include "fs.h"

// Upper-case the first width characters of text (at most 16) into the name
// buffer, padding with spaces; no terminator is written.
const char* name_normalize(Fs& fs, const char* text, int width);

// First empty entry among 1-38, or -2.
int dir_find_free_slot(const Fs& fs);

// A new entry named as typed (normalized to 12 characters) for a new chain
// of blocks blocks, or, with first given, for that existing chain.
NewEntry entry_new(Fs& fs, const char* name, std::uint8_t type, std::uint64_t blocks, std::uint64_t size,
                   std::uint64_t contiguous, std::uint64_t first = 0);

// A second entry for the chain of the 26-byte entry e: its name (up to a
// NUL byte) normalized, its type, size, contiguous count and first block.
NewEntry entry_link(Fs& fs, const std::uint8_t* e);

// Create entry slot of the working directory (negative: none is free),
// its chain filled by fill: the slot; -13 when fill failed (it said why);
// -1 after the layer said why.
int wd_create(Fs& fs, int slot, const NewEntry& n, const ChainFill& fill = {});

// Remove entry number of the working directory, its chain as release says.
FsErr wd_remove(Fs& fs, std::uint32_t number, Release release);

// wd_remove with the chain freed when release is set: 0, or -1 after the
// layer said why.
int entry_delete(Fs& fs, std::uint32_t number, int release);
