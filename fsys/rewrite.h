// Changes that rewrite what a name stands for, as a file system mounted on
// the host makes them: a file switched to a new chain together with every
// link to it, a chain grown piece by piece while a file is written, a move
// that replaces the entry it lands on, and the commit an fsync asks for.
// Ordered like the operations of fsys.h.
#pragma once

#include <cstdint>

#include "fsys.h"

// Switch entry slot of f, and every other file entry naming the same chain
// (its links, in any folder), to the chain made by fs_chain_new (blocks
// long, leading run contiguous); once no entry names the old chain it is
// freed, after a barrier. Entry 19, whose fields lie across both blocks of
// its folder, moves to a free entry of the folder when its size or leading
// run changes, so that no write cut short leaves it half switched (in a
// full folder it is switched in place). ok once entry slot is switched,
// with *made its slot now (a link that could not be switched keeps the old
// chain, which then stays, after saying why); otherwise the failure with
// the entry as it was, the new chain the caller's to give back.
FsErr fs_replace_linked(Volume& v, Folder& f, int slot, std::uint64_t start, std::uint64_t blocks,
                        std::uint64_t contiguous, int* made = nullptr);

// Add blocks blocks, filled by fill, to a chain that no entry names yet and
// whose last block is last (0: start a new chain), right after last where
// the FAT allows: ok with the piece's *first block, its leading run in
// *contiguous (wanted in, obtained out) and the chain's new *last; or the
// failure with nothing more allocated. The FAT is not committed (the chain
// is named by nothing until fs_commit, then an entry, make it part of the
// volume).
FsErr fs_chain_append(Volume& v, std::uint64_t* last, std::uint64_t blocks, const ChainFill& fill,
                      std::uint64_t* first, std::uint64_t* contiguous);

// Move entry slot of from over entry target of to, which it replaces (a
// file over a file, a folder over an empty folder; a file over another
// name of its own chain changes nothing, *made untouched), under name when
// given. A file takes the target's place (the new place durable before the
// old one is cleared); a folder, and a file over entry 19 (whose fields lie
// across both blocks of its folder), move as fs_move does and the target
// goes after, or before when to has no free entry. The replaced chain is
// freed when no other entry names it. Within one folder from and to are the
// same object. ok with *made, the entry's slot in to; not_folder,
// is_folder, not_empty, or the failures of fs_move and fs_remove.
FsErr fs_move_over(Volume& v, Folder& from, int slot, Folder& to, int target, const RawName* name,
                   int* made = nullptr);

// Write back what the FAT cache holds and make every write so far durable
// (what an fsync asks for): ok, or fat_error; nothing on a read-only volume.
FsErr fs_commit(Volume& v);
