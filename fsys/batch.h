// Pieces of new entries and new folders, shared by the operations that
// make them: an entry's bytes, a parent link, a new folder's entry and the
// fill of its two blocks.
#pragma once

#include "fsys.h"

// Entry e (26 bytes) as n names the chain at start with its leading run
// contiguous; the bytes n does not set are cleared.
void entry_fill(std::uint8_t* e, const NewEntry& n, std::uint64_t contiguous, std::uint64_t start);

// Point the parent link link (entry 0 of a folder) at entry slot of parent:
// its name, first block and the slot; the type is the caller's.
void parent_link_put(std::uint8_t* link, const Folder& parent, int slot);

// The entry of a new, empty folder named name (two blocks, a leading run
// of two wanted).
NewEntry new_folder_entry(const RawName& name);

// The fill of a new folder's two blocks: an empty folder whose parent link
// leads to parent, where it is to be entry slot. The parent's name and
// first block are taken now.
ChainFill fill_new_folder(Volume& v, const Folder& parent, int slot);
