// The working directory: its path from the root, its image, loading and
// storing it, changing directory and printing the path.
#pragma once

#include "fs.h"

// Move the two blocks of the directory whose first block is start between
// buf (1024 bytes) and the volume: 0, or the chain transfer's failure.
int dir_transfer(Fs& fs, std::uint8_t* buf, std::uint64_t start, Direction dir);

// Read the working directory's two blocks into the image: 0, or negative on
// failure with the image unchanged.
int dir_load(Fs& fs);

// Write the image back as the working directory's two blocks: 0 or negative.
int dir_store(Fs& fs);

// Make the root the only node of the path and load it: 0, or -2 after
// "error: can't read directory or data corrupt.\n".
int dir_reset_root(Fs& fs);

// Free every node after keep; keep becomes the working directory.
void path_truncate(Fs& fs, PathNode* keep);

// Change to the directory of entry n (negative: the root): 0, 1 (not a
// directory), -1 (no memory), -2 (unreadable, path and image unchanged),
// -3 (number above 38).
int dir_change(Fs& fs, int n);

void cmd_pwd(Fs& fs);
