// The file system of a volume, for every program that reads or changes one.
//
// A folder is named by its first block (and the first block of its parent),
// an entry by its folder and slot (1-38); a path is resolved from the root
// without any working directory. The operations below are the only ones
// that change entries, counts and chains: each checks what it is given,
// orders its writes so that a crash at any instant leaves at most leaked
// blocks, a stale free-block counter, a folder count that is too high or
// (for a move) the entry in both folders, and commits its FAT changes
// before it returns.
//
// Failures come back as an FsErr. The operations also print the message
// lines of zvkfm at the point of failure through err_print; a program
// without a terminal points the console's error stream at its log (or
// nowhere) and shows the FsErr its own way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format.h"
#include "names.h"
#include "volume.h"

enum class FsErr : int {
    ok = 0,
    read_only,      // the volume is open read-only
    bad_slot,       // an entry number beyond 38, or the folder has no free entry
    no_entry,       // the entry (or a component of the path) does not exist
    not_folder,     // a folder was needed
    is_folder,      // a file was needed
    exists,         // the name is taken in that folder
    not_empty,      // the folder still holds entries
    name_too_long,  // more than 12 bytes once encoded
    zero_length,    // a file of no blocks
    too_big,        // more than 65,535 blocks
    no_space,       // fewer free blocks than needed
    bad_type,       // a type that a file cannot have
    into_itself,    // a folder moved into itself or below itself
    is_root,        // the root cannot be removed, moved or linked
    damaged,        // a number read from the volume leads nowhere valid
    fill_failed,    // the source of a new chain could not be read
    read_error,     // a block could not be read
    write_error,    // a block could not be written
    fat_error,      // the FAT could not be written back, or a barrier failed
    no_memory,
};

// Short reason, for lines such as "error: PATH: reason".
const char* fs_strerror(FsErr e);
// The nearest errno value (for the mount).
int fs_errno(FsErr e);

// The stored name of the root in the parent links of its subfolders.
inline constexpr char ROOT_NAME[] = "ROOT        ";

// One folder: where it is, its name as stored in the entry that leads to it
// ("ROOT" and eight spaces for the root), and its image.
struct Folder {
    std::uint64_t start = ROOT_DIR_BLOCK;  // first block
    std::uint64_t parent = 0;              // first block of its parent; 0 for the root
    RawName name{};
    DirImage image{};   // as read or last written, with the caller's edits
    DirImage stored{};  // as last read from or written to the volume
    bool loaded = false;
};

inline bool folder_is_root(const Folder& f) { return f.start == ROOT_DIR_BLOCK; }
inline std::uint8_t* folder_entry(Folder& f, int slot) { return dir_entry(f.image, static_cast<std::size_t>(slot)); }
inline const std::uint8_t* folder_entry(const Folder& f, int slot) {
    return dir_entry(f.image, static_cast<std::size_t>(slot));
}

// --- reading -------------------------------------------------------------

// Move the two blocks of the folder at start between buf (1024 bytes) and
// the volume: 0, or chain_transfer's failure.
int folder_transfer(Volume& v, std::uint8_t* buf, std::uint64_t start, Direction dir);

// Read the folder at start (parent and name as given); out is unchanged on
// failure: ok, read_error, or damaged (start outside the data area, after
// reading as any folder is read).
FsErr folder_read(Volume& v, std::uint64_t start, std::uint64_t parent, const RawName& name, Folder* out);
FsErr folder_read_root(Volume& v, Folder* out);
// Read the subfolder of entry slot of parent: ok, bad_slot, not_folder,
// damaged, read_error.
FsErr folder_child(Volume& v, const Folder& parent, int slot, Folder* out);

// Write the image back, with the entry-19 order (when entry 19 appears the
// block without its type byte goes first, when it goes the block with it,
// with a barrier between): ok, read_only, write_error, or damaged (after
// saying so) for an image that holds no folder. Every writer of a folder
// image goes through here; on success stored becomes the image.
FsErr folder_write(Volume& v, Folder& f);

// First empty entry among 1-38, or -1.
int folder_free_slot(const Folder& f);
// Entries that are taken among 1-38.
int folder_used(const Folder& f);

// Listed entries (neither empty nor the parent link) with their host
// names: a later entry showing a name an earlier one shows gets "%#N".
std::vector<std::pair<int, std::string>> folder_listing(const DirImage& image);

// Slot of host name in the folder: ok with *slot, no_entry or name_too_long.
FsErr folder_lookup(const Folder& f, std::string_view host_name, int* slot);
// Slot of the first listed entry whose stored name is raw, or -1.
int folder_find_raw(const Folder& f, const RawName& raw);

// What a path resolves to: the folder holding its last component, that
// component's slot there (-1 when absent) and its stored form. For "/"
// itself, root is set and folder is the root.
struct Lookup {
    Folder folder;
    int slot = -1;
    RawName name{};
    bool root = false;
};

// Resolve a path from the root ("/DRUMS/KICK", "DRUMS/KICK" and
// "/DRUMS/KICK/" alike; host names as in names.h), changing nothing: ok
// (the last component may be absent), no_entry or not_folder (an inner
// component), name_too_long, read_error, damaged (a walk deeper than the
// volume can hold).
FsErr fs_resolve(Volume& v, std::string_view path, Lookup* out);
// The components of a path, empty ones dropped ("/A//B/" gives A and B).
std::vector<std::string> fs_path_parts(std::string_view path);
// The folder a path names (the root for "/"): ok, no_entry, not_folder, ...
FsErr fs_open_folder(Volume& v, std::string_view path, Folder* out);

// Visit every folder reachable from the root once, breadth first, each
// with the path of entry numbers that leads to it; a folder reached twice
// (a linked folder) is visited once. Stops early when visit returns false.
// ok, or read_error when a folder could not be read (the others are still
// visited).
using FolderVisit = std::function<bool(const Folder& f, const std::vector<int>& slots)>;
FsErr fs_walk(Volume& v, const FolderVisit& visit);

// Whether another entry than (folder, slot) names the chain at start
// (a folder walk).
FsErr fs_chain_shared(Volume& v, std::uint64_t start, std::uint64_t folder, int slot, bool* shared);

// --- changing ------------------------------------------------------------

// Writes the content of a new chain (first block, leading run) before its
// entry is stored: 0, or nonzero after saying why.
using ChainFill = std::function<int(std::uint64_t start, std::uint64_t contiguous)>;

// Sources for a new chain of blocks blocks: a buffer (bytes long, the last
// block padded with zeros), a host file from its current offset 0 (bytes
// long; fewer bytes than that is a failure), or the chain of an entry of
// this or of another open volume.
ChainFill fill_from_buffer(Volume& v, const std::uint8_t* data, std::uint64_t bytes, std::uint64_t blocks);
ChainFill fill_from_host(Volume& v, int fd, std::uint64_t bytes, std::uint64_t blocks);
ChainFill fill_from_chain(Volume& v, Volume& from, std::uint64_t start, std::uint64_t contiguous,
                          std::uint64_t blocks);

// A new entry. With first 0 a new chain of blocks blocks is allocated (a
// leading run of contiguous wanted) and filled; otherwise the entry names
// the existing chain at first (a link), with contiguous as given.
struct NewEntry {
    RawName name{};
    std::uint8_t type = 0;
    std::uint64_t blocks = 0;  // the chain's length (at least 1)
    std::uint64_t size = 0;    // the size field: blocks for a file, entries for a folder
    std::uint64_t contiguous = 0;
    std::uint64_t first = 0;
};

// Create entry slot of f (the order: chain linked and filled, the count of
// f in its parent raised, a barrier, the entry stored): ok with *made, or
// the failure with nothing left but what a crash may leave. When the
// parent's entry that holds the count is no folder (a damaged parent link)
// the count is raised all the same and not_folder returned; when it is
// another folder's, or the link numbers no entry, the count is left alone
// with a warning.
FsErr fs_create(Volume& v, Folder& f, int slot, const NewEntry& e, const ChainFill& fill, int* made = nullptr);

// Many new entries across folders, with one barrier: TreeBatch (tree.h).

// What fs_remove gives back with the entry.
enum class Release {
    entry_only,     // the chain stays (another entry names it, or it moves)
    chain,          // the whole chain is freed, up to its end mark
    chain_unshared  // the chain (a folder's two blocks) is freed unless another entry names it
};

// Remove entry slot of f (the order: the entry cleared, a barrier, the
// count of f lowered, the chain freed): ok, read_only, bad_slot, no_entry,
// is_root, write_error, fat_error; not_folder as fs_create.
FsErr fs_remove(Volume& v, Folder& f, int slot, Release release);

// Change the name or type of entry slot of f in place, from a prepared
// 26-byte entry that names the same chain: ok, read_only, bad_slot,
// no_entry, write_error.
FsErr fs_update(Volume& v, Folder& f, int slot, const std::uint8_t* entry);

// Move entry slot of from into folder to (slot to_slot, -1: the first free
// one), under a new stored name when name is given. The new entry first,
// then a moved folder's parent link, then the old entry cleared and the
// count lowered, each step durable before the next; when the link cannot
// be rewritten the new entry is taken back. from and to may be the same
// folder object only for a rename in place. Entry 0 moves only when it is
// not a parent link (the root's operating-system file). ok or the failure;
// *made is the new entry's slot once it was made (also when a later step
// failed), else -1, so a caller can tell the failures of the new place.
FsErr fs_move(Volume& v, Folder& from, int slot, Folder& to, int to_slot, const RawName* name = nullptr,
              int* made = nullptr);

// Make a folder as entry slot of parent (its two blocks written before its
// entry): ok with *made, or the failure.
FsErr fs_make_folder(Volume& v, Folder& parent, int slot, const RawName& name, int* made = nullptr);

// A new chain for a file, filled and made durable, named by no entry yet:
// ok with *start and *contiguous (wanted run in, obtained out), or the
// failure with the chain given back.
FsErr fs_chain_new(Volume& v, std::uint64_t blocks, const ChainFill& fill, std::uint64_t* start,
                   std::uint64_t* contiguous);

// fs_chain_new without the final commit, for callers that make several
// chains before one barrier.
FsErr fs_chain_new_uncommitted(Volume& v, std::uint64_t blocks, const ChainFill& fill, std::uint64_t* start,
                               std::uint64_t* contiguous);

// Switch entry slot of f to the chain made by fs_chain_new (blocks long,
// leading run contiguous), then free the old chain as release says (after
// a barrier): ok once the entry is switched (an old chain that cannot be
// freed then stays, blocks that no entry names), or the failure with the
// entry as it was (the new chain is then the caller's to give back with
// fs_chain_free). One entry only, switched in place: a file with links, or
// at entry 19, is switched by fs_replace_linked (rewrite.h).
FsErr fs_replace(Volume& v, Folder& f, int slot, std::uint64_t start, std::uint64_t blocks,
                 std::uint64_t contiguous, Release release);

// Give back a chain that no entry names (at most limit blocks), committing
// the FAT: ok or fat_error.
FsErr fs_chain_free(Volume& v, std::uint64_t start, std::uint64_t limit);

// --- volume-wide ----------------------------------------------------------

// Write the empty FAT and root folder of a file system over the whole
// volume: 0, -1 (FAT), -2 (root), after saying why. The FAT cache is reset.
int fs_format(Volume& v);
// Sign and write the label blocks from the images held: 0, -1 (read-only),
// -2 / -3 (block 2 / block 1 not written), after saying why.
int label_write(Volume& v);
// Free blocks of a fresh file system on a volume of total blocks.
std::uint32_t fresh_free_blocks(std::uint32_t total);

// --- giving a folder that no entry names a place (repairs) -----------------

// An empty folder image for the two blocks from start (its parent link
// written by fs_attach_folder).
Folder folder_blank(std::uint64_t start);

// Write the image of f to the two adjacent blocks f.start and f.start + 1
// whatever the FAT says, for a folder placed on blocks that no entry names
// yet and whose chain is linked after (so no order is needed): ok,
// read_only, damaged (blocks outside the data area), write_error.
FsErr folder_write_run(Volume& v, Folder& f);

// Point the parent link of child at entry slot of parent (a link made anew
// when entry 0 holds none), the folder written and made durable: ok,
// bad_slot, read_only, write_error, fat_error (the barrier failed).
FsErr folder_relink(Volume& v, Folder& child, const Folder& parent, int slot);

// Make child, a folder on a two-block chain of its own that no entry names
// (a lost folder, or one placed on blocks the caller chose and linked), the
// empty entry slot of parent under name: the FAT committed, child's parent
// link rewritten to name that entry and made durable, then the entry made
// as fs_create makes a link (the count of parent raised, a barrier, the
// entry stored; its count the entries child holds). ok with *made, or the
// failure, after which child is lost as it was (its link may name the slot).
FsErr fs_attach_folder(Volume& v, Folder& parent, int slot, Folder& child, const RawName& name,
                       int* made = nullptr);
