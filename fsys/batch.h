// A new folder as an entry made with fs_create: its entry and the fill of
// its two blocks.
#pragma once

#include "fsys.h"

// The entry of a new, empty folder named name (two blocks, a leading run
// of two wanted).
NewEntry new_folder_entry(const RawName& name);

// The fill of a new folder's two blocks: an empty folder whose parent link
// leads to parent, where it is to be entry slot (the slot its batch item
// asks for). The parent's name and first block are taken now.
ChainFill fill_new_folder(Volume& v, const Folder& parent, int slot);
