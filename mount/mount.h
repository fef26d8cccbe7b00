// The state of one mounted volume and the file-system operations on it,
// free of libfuse: each operation returns 0 (or a count) or -errno.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fsys.h"

// Leaves the bytes a buffer gains uninitialised, so that growing a file's
// buffer does not first zero what the next write overwrites.
template <class T>
struct NoInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = NoInitAllocator<U>;
    };
    NoInitAllocator() = default;
    template <class U>
    NoInitAllocator(const NoInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using Bytes = std::vector<std::uint8_t, NoInitAllocator<std::uint8_t>>;

// Resize b, filling what it gains with zeros.
inline void resize_zeroed(Bytes& b, std::size_t n) {
    const std::size_t old = b.size();
    b.resize(n);
    if (n > old) std::fill(b.begin() + static_cast<std::ptrdiff_t>(old), b.end(), std::uint8_t{0});
}

constexpr std::uint64_t MAX_FILE_BYTES = MAX_FILE_BLOCKS * BLOCK_SIZE;

// Where an entry lives: the first block of its directory and its number.
using EntryKey = std::pair<std::uint64_t, int>;

// A file written from its start onwards, in order, goes to the volume as
// it comes: whole blocks along a new chain that no entry names yet, the
// part of a block still to come kept in the node's data. The entry is
// switched to the chain when the file is stored, as for a file in memory.
struct Stream {
    bool on = false;
    std::uint64_t start = 0;   // first block of the chain
    std::uint64_t last = 0;    // its last block
    std::uint64_t blocks = 0;  // blocks written along it
    std::uint64_t contig = 0;  // its leading run of consecutive blocks
};

// A file's contents while it is open: read in place along its chain while
// it is unchanged; once changed, held in memory (or streamed) and written
// to the volume as a new chain on flush or fsync.
struct Node {
    EntryKey key;
    bool orphan = false;  // the entry was removed while the file was open
    bool loaded = false;
    bool dirty = false;
    Bytes data;  // the file (or, streaming, its bytes after the last whole block)
    int opens = 0;
    Stream stream;
    // The chain as last mapped for reading in place, and the volume's
    // change count then: any write may have moved or freed it.
    std::vector<BlockRun> runs;
    std::uint64_t mapped_blocks = 0;
    std::uint64_t map_stamp = ~std::uint64_t{0};
};

// Length in bytes of a file that is loaded or streaming.
inline std::uint64_t node_length(const Node& n) { return n.stream.blocks * BLOCK_SIZE + n.data.size(); }

// Every entry of the volume by the chain it names, from one walk of the
// tree, with the volume's change count then: any write may have changed it.
struct Census {
    std::uint64_t stamp = ~std::uint64_t{0};
    std::map<std::uint64_t, std::vector<EntryKey>> sharers;  // chain start -> entries naming it
};

// The folder the last path led to, reused for the next path into the same
// folder while nothing was written since.
struct FolderMemo {
    std::string path;  // host path of the folder
    Folder folder;
    std::uint64_t stamp = ~std::uint64_t{0};
};

struct Mount {
    Volume vol;
    uid_t uid = 0;
    gid_t gid = 0;
    time_t time = 0;
    std::uint8_t new_type = 31;
    std::map<EntryKey, std::shared_ptr<Node>> nodes;
    std::map<std::uint64_t, std::shared_ptr<Node>> handles;
    std::map<std::uint64_t, std::uint64_t> dir_handles;  // handle -> first block of the folder
    std::map<std::uint64_t, std::string> handle_paths;   // the path each handle was opened by, for the log
    std::uint64_t next_handle = 1;
    Census census;
    FolderMemo memo;
};

// Lines on standard error for failed operations (off in tests that want quiet).
void mount_log_failure(const char* op, const char* path, int err);

// The volume and its folders (tree.cpp).
// Open the volume as zvkmount does (read-only when asked; read-write with
// the lock, else read-only with a warning) and check that it holds a file
// system: 0, or 1 after an error line.
int mount_open(Mount& m, const char* image, bool read_only);
// The errno of a failure of the volume layer, negated.
inline int fs_fail(FsErr e) { return -fs_errno(e); }
// The folder holding the last component of path, and that component in
// *last ("" for the root itself): 0 or -errno.
int folder_of(Mount& m, const char* path, Folder* f, std::string* last);
// The folder whose first block is start: 0 or -EIO.
int folder_at(Mount& m, std::uint64_t start, Folder* f);
// Entry number of host name in f: the slot, -ENOENT or -ENAMETOOLONG.
int entry_find(const Folder& f, const std::string& name);
const Census& census(Mount& m);
// Number of entries on the volume whose chain starts at start (at least 1).
std::size_t link_count(Mount& m, std::uint64_t start);

// File contents (store.cpp).
// Load a file whole into memory (a streaming one included): 0 or -errno.
int node_load(Mount& m, Node& n);
// Read from a clean file along its chain: the bytes read, or -EIO.
int node_read_in_place(Mount& m, Node& n, char* buf, std::size_t size, off_t off);
int node_store(Mount& m, Node& n);
std::shared_ptr<Node> node_for(Mount& m, const EntryKey& key);
void node_drop_if_idle(Mount& m, const std::shared_ptr<Node>& n);
int mount_flush_all(Mount& m);
// Before the entry at key goes or is overwritten: a file still open there
// is loaded, to be read until its last close.
void node_detach(Mount& m, const EntryKey& key);
// After the entry at key went: a file open there keeps what it holds,
// without a name, until its last close.
void node_orphan(Mount& m, const EntryKey& key);
// The file open at from now lives at to (a moved entry); one open at to
// before is orphaned.
void node_rekey(Mount& m, const EntryKey& from, const EntryKey& to);

// Streaming (stream.cpp).
// Empty the file in memory, giving back a chain being streamed.
void node_make_empty(Mount& m, Node& n);
// Write size bytes at off when they continue a file written from its start
// in order: 1 when they were not taken (write them in memory), else 0 or -errno.
int stream_write(Mount& m, Node& n, const char* buf, std::size_t size, off_t off);
// Bring a streaming file back into memory: 0 or -errno.
int stream_to_memory(Mount& m, Node& n);
// Write out the rest of a streaming file and make its chain durable: 0 with
// the chain's *start, *blocks and *contig, or -errno with the chain given back.
int stream_finish(Mount& m, Node& n, std::uint64_t* start, std::uint64_t* blocks, std::uint64_t* contig);
// Give back the chain of a streaming file.
void stream_drop(Mount& m, Node& n);

// Operations (ops.cpp).
int op_getattr(Mount& m, const char* path, struct stat* st);
// Attributes of an open file, by its handle (its name may be gone).
int op_getattr_open(Mount& m, std::uint64_t fh, struct stat* st);
// A handle on the directory at path, which readdir lists by its first block.
int op_opendir(Mount& m, const char* path, std::uint64_t* fh);
int op_readdir_names(Mount& m, std::uint64_t fh, std::vector<std::pair<std::string, struct stat>>* out);
int op_releasedir(Mount& m, std::uint64_t fh);
// The path a handle was opened by, for the log ("-" when unknown).
const char* handle_path(const Mount& m, std::uint64_t fh);
int op_open(Mount& m, const char* path, int flags, std::uint64_t* fh);
int op_create(Mount& m, const char* path, std::uint64_t* fh);
int op_read(Mount& m, std::uint64_t fh, char* buf, std::size_t size, off_t off);
int op_write(Mount& m, std::uint64_t fh, const char* buf, std::size_t size, off_t off);
int op_truncate(Mount& m, const char* path, off_t size, const std::uint64_t* fh);
int op_flush(Mount& m, std::uint64_t fh);
// op_flush, then everything written so far made durable.
int op_fsync(Mount& m, std::uint64_t fh);
int op_release(Mount& m, std::uint64_t fh);
int op_unlink(Mount& m, const char* path);
int op_mkdir(Mount& m, const char* path);
int op_rmdir(Mount& m, const char* path);
int op_rename(Mount& m, const char* from, const char* to, unsigned flags);
int op_link(Mount& m, const char* from, const char* to);
int op_getxattr(Mount& m, const char* path, const char* name, char* value, std::size_t size);
int op_setxattr(Mount& m, const char* path, const char* name, const char* value, std::size_t size);
int op_listxattr(Mount& m, const char* path, char* list, std::size_t size);
int op_statfs(Mount& m, struct statvfs* st);
int op_writable(Mount& m);
