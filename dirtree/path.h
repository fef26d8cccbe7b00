// The working directory: its path from the root, loading it, changing
// directory and printing the path. Writing it back and every change of its
// entries go through the file system layer (fsys.h).
#pragma once

#include "fs.h"

// Move the two blocks of the directory whose first block is start between
// buf (1024 bytes) and the volume: 0, or the chain transfer's failure.
int dir_transfer(Fs& fs, std::uint8_t* buf, std::uint64_t start, Direction dir);

// Write the working directory's image back (folder_write): 0, or -1 after
// "error: device readonly.\n" on a read-only volume, or after the reason
// folder_write gives. For callers that change the image themselves.
int dir_store(Fs& fs);

// Make the root the only node of the path and load it: 0, or -2 after
// "error: can't read directory or data corrupt.\n".
int dir_reset_root(Fs& fs);

// Make the path's directory above the working directory (the path, not the
// parent link, leads there) the working directory: 0, 1 after "error: no
// parent directory.\n" in the root, -2 when it cannot be read.
int path_up(Fs& fs);

// Free every node after keep; keep becomes the working directory.
void path_truncate(Fs& fs, PathNode* keep);

// Change to the directory of entry n (negative: the root): 0, 1 (not a
// directory), -1 (no memory), -2 (unreadable, path and image unchanged),
// -3 (number above 38).
int dir_change(Fs& fs, int n);

// What zvkfm's way up to the parent and back down, around a change of the
// count of the folder at start (its image image), calls that folder: the
// number and name of the parent's entry that the folder's parent link
// numbers, another entry than the one followed down for a linked
// directory. False when that way does not lead back to it.
bool through_parent(const DirImage& image, std::uint64_t start, const DirImage& parent, int* number, RawName* name);

// Give node, the path's node of the folder whose image is image, the number
// and name the way through its parent gives it (reading the parent only
// when its link numbers another entry than node's).
void path_relabel(Fs& fs, PathNode* node, const DirImage& image);

// After a change whose count went into the working directory's entry in
// its parent, with that change's result: the path as the way up to the
// parent and back down through that entry leaves it (path_relabel), after
// success or the failure also, which comes after that way; when the entry
// leads to no directory (not_folder) the parent becomes the working
// directory.
void path_after_count(Fs& fs, FsErr e, FsErr also = FsErr::ok);

void cmd_pwd(Fs& fs);
