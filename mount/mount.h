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

#include "fs.h"
#include "names.h"

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

// Where an entry lives: the first block of its directory and its number.
using EntryKey = std::pair<std::uint64_t, int>;

// A file's contents while it is open: read whole on first use, changed in
// memory and written to the volume as a new chain on flush or fsync.
struct Node {
    EntryKey key;
    bool orphan = false;  // the entry was removed while the file was open
    bool loaded = false;
    bool dirty = false;
    Bytes data;  // size() is the file's length in bytes
    int opens = 0;
};

// Everything learnt by one walk of the whole tree: the way to each
// directory and the entries that share each chain.
struct Census {
    bool valid = false;
    std::map<std::uint64_t, std::vector<int>> dir_paths;  // directory start -> entry numbers from the root
    std::map<std::uint64_t, std::vector<EntryKey>> sharers;  // chain start -> entries naming it
};

// The folder the last walk ended in: reused while the working directory is
// still that folder and nothing was written since.
struct WalkMemo {
    std::string parent;  // host path of the folder
    std::uint64_t start = 0;
    std::uint64_t written = ~std::uint64_t{0};  // blocks written when it was taken
};

struct Mount {
    std::unique_ptr<Fs> fs = std::make_unique<Fs>();
    uid_t uid = 0;
    gid_t gid = 0;
    time_t time = 0;
    std::uint8_t new_type = 31;
    std::map<EntryKey, std::shared_ptr<Node>> nodes;
    std::map<std::uint64_t, std::shared_ptr<Node>> handles;
    std::uint64_t next_handle = 1;
    Census census;
    WalkMemo memo;
};

// Lines on standard error for failed operations (off in tests that want quiet).
void mount_log_failure(const char* op, const char* path, int err);

// Tree access (tree.cpp).
// Listed entries of a directory image: entry number and host name.
std::vector<std::pair<int, std::string>> dir_listing(const DirImage& image);
// Entry number of host name in the working directory, or -ENOENT / -ENAMETOOLONG.
int dir_lookup(Fs& fs, const std::string& name);
// Make the directory holding the last component of path the working
// directory; *last gets that component ("" for the root itself).
int walk_parent(Mount& m, const char* path, std::string* last);
int walk_from_root(Mount& m, const char* path, std::string* last);
// Make the directory reached by entry numbers from the root the working one.
int goto_dir(Mount& m, const std::vector<int>& slots);
// Make the directory whose first block is start the working one.
int goto_dir_start(Mount& m, std::uint64_t start);
const Census& census(Mount& m);
// Number of entries on the volume whose chain starts at start (at least 1).
std::size_t link_count(Mount& m, std::uint64_t start);
// Raise the working directory's count in its parent, then write a prepared
// entry into an empty slot of it: 0 or -EIO.
int entry_place(Mount& m, int slot, const std::uint8_t* entry);
// Allocate a chain of blocks blocks (leading run wanted) and write data
// along it, then commit: 0 with *start, *contig set, or -errno.
int chain_write_new(Mount& m, const std::uint8_t* data, std::uint64_t blocks, std::uint64_t want_run,
                    std::uint64_t* start, std::uint64_t* contig);
// Free the chain at start (at most limit blocks) unless another entry still
// names it; the FAT is written back by the next commit.
void chain_release_unshared(Mount& m, std::uint64_t start, std::uint64_t limit);

// File contents (store.cpp).
int node_load(Mount& m, Node& n);
int node_store(Mount& m, Node& n);
std::shared_ptr<Node> node_for(Mount& m, const EntryKey& key);
void node_drop_if_idle(Mount& m, const std::shared_ptr<Node>& n);
int mount_flush_all(Mount& m);

// Operations (ops.cpp).
int op_getattr(Mount& m, const char* path, struct stat* st);
int op_readdir_names(Mount& m, const char* path, std::vector<std::pair<std::string, struct stat>>* out);
int op_open(Mount& m, const char* path, int flags, std::uint64_t* fh);
int op_create(Mount& m, const char* path, std::uint64_t* fh);
int op_read(Mount& m, std::uint64_t fh, char* buf, std::size_t size, off_t off);
int op_write(Mount& m, std::uint64_t fh, const char* buf, std::size_t size, off_t off);
int op_truncate(Mount& m, const char* path, off_t size, const std::uint64_t* fh);
int op_flush(Mount& m, std::uint64_t fh);
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
