#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "mount.h"
#include "rewrite.h"

namespace {

constexpr const char* TYPE_XATTR = "user.zvk.type";

// An entry found by path: its folder and slot (-1 for the root itself).
struct Found {
    Folder folder;
    int slot = -1;
    const std::uint8_t* entry() const { return folder_entry(folder, slot); }
    EntryKey key() const { return {folder.start, slot}; }
    bool is_dir() const { return slot < 0 || entry_type(entry()) == TYPE_SUBDIR; }
};

// Find path: 0 or -errno.
int resolve(Mount& m, const char* path, Found* out) {
    std::string last;
    if (int r = folder_of(m, path, &out->folder, &last)) return r;
    out->slot = -1;
    if (last.empty()) return 0;
    int s = entry_find(out->folder, last);
    if (s < 0) return s;
    out->slot = s;
    return 0;
}

// Resolve path to a file entry (not a folder): 0 or -errno.
int resolve_file(Mount& m, const char* path, Found* out) {
    if (int r = resolve(m, path, out)) return r;
    return out->is_dir() ? -EISDIR : 0;
}

void fill_stat(Mount& m, const std::uint8_t* e, const EntryKey& key, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_uid = m.uid;
    st->st_gid = m.gid;
    st->st_atime = st->st_mtime = st->st_ctime = m.time;
    st->st_blksize = BLOCK_SIZE;
    const std::uint64_t first = entry_start(e);
    st->st_ino = first != 0 ? first : (std::uint64_t{1} << 40) + key.first * 64 + static_cast<std::uint64_t>(key.second);
    if (entry_type(e) == TYPE_SUBDIR) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        st->st_size = DIR_SIZE;
        st->st_blocks = 2;
        return;
    }
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = link_count(m, first);
    std::uint64_t size = std::uint64_t{entry_size(e)} * BLOCK_SIZE;
    auto it = m.nodes.find(key);
    if (it != m.nodes.end() && it->second->dirty) size = node_length(*it->second);
    st->st_size = static_cast<off_t>(size);
    st->st_blocks = static_cast<blkcnt_t>((size + BLOCK_SIZE - 1) / BLOCK_SIZE);
}

void fill_root_stat(Mount& m, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_uid = m.uid;
    st->st_gid = m.gid;
    st->st_atime = st->st_mtime = st->st_ctime = m.time;
    st->st_ino = ROOT_DIR_BLOCK;
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    st->st_size = DIR_SIZE;
    st->st_blocks = 2;
    st->st_blksize = BLOCK_SIZE;
}

std::shared_ptr<Node> handle(Mount& m, std::uint64_t fh) {
    auto it = m.handles.find(fh);
    return it == m.handles.end() ? nullptr : it->second;
}

std::uint64_t handle_new(Mount& m, const std::shared_ptr<Node>& n, const char* path) {
    ++n->opens;
    const std::uint64_t fh = m.next_handle++;
    m.handles[fh] = n;
    m.handle_paths[fh] = path;
    return fh;
}

// The folder of a new entry at path, its free slot and the stored form of
// its name: 0, -EEXIST or -errno.
int prepare_new(Mount& m, const char* path, Found* at, RawName* raw) {
    if (int r = op_writable(m)) return r;
    std::string last;
    if (int r = folder_of(m, path, &at->folder, &last)) return r;
    if (last.empty()) return -EEXIST;
    if (name_encode(last.c_str(), *raw) != 0) return -ENAMETOOLONG;
    const int s = entry_find(at->folder, last);
    if (s >= 0) return -EEXIST;
    if (s != -ENOENT) return s;
    at->slot = folder_free_slot(at->folder);
    return at->slot < 0 ? -ENOSPC : 0;
}

// Remove the entry found, its chain with it unless another entry names it.
int entry_remove(Mount& m, Found& f) {
    node_detach(m, f.key());
    const FsErr e = fs_remove(m.vol, f.folder, f.slot, Release::chain_unshared);
    // Once the entry is cleared the name is gone, whatever failed after it
    // (a count left too high, blocks left in use).
    if (e != FsErr::ok && entry_type(f.entry()) != TYPE_EMPTY) return fs_fail(e);
    node_orphan(m, f.key());
    return 0;
}

}  // namespace

int op_writable(Mount& m) { return m.vol.read_only ? -EROFS : 0; }

void node_rekey(Mount& m, const EntryKey& from, const EntryKey& to) {
    if (from == to) return;
    node_orphan(m, to);
    auto it = m.nodes.find(from);
    if (it == m.nodes.end()) return;
    auto n = it->second;
    m.nodes.erase(it);
    n->key = to;
    m.nodes[to] = n;
}

void node_orphan(Mount& m, const EntryKey& key) {
    auto it = m.nodes.find(key);
    if (it == m.nodes.end()) return;
    it->second->orphan = true;
    m.nodes.erase(it);
}

void node_detach(Mount& m, const EntryKey& key) {
    auto it = m.nodes.find(key);
    if (it != m.nodes.end() && it->second->opens > 0) node_load(m, *it->second);  // failing, its reads give EIO
}

int op_getattr(Mount& m, const char* path, struct stat* st) {
    Found f;
    if (int r = resolve(m, path, &f)) return r;
    if (f.slot < 0)
        fill_root_stat(m, st);
    else
        fill_stat(m, f.entry(), f.key(), st);
    return 0;
}

int op_getattr_open(Mount& m, std::uint64_t fh, struct stat* st) {
    auto n = handle(m, fh);
    if (!n) return -EBADF;
    if (n->orphan) {
        // No entry left: what the handle still reads, and no links.
        std::uint8_t e[DIR_ENTRY_SIZE] = {};
        fill_stat(m, e, n->key, st);
        st->st_nlink = 0;
        st->st_size = static_cast<off_t>(node_length(*n));
        st->st_blocks = static_cast<blkcnt_t>((node_length(*n) + BLOCK_SIZE - 1) / BLOCK_SIZE);
        return 0;
    }
    Folder f;
    if (int r = folder_at(m, n->key.first, &f)) return r;
    fill_stat(m, folder_entry(f, n->key.second), n->key, st);
    return 0;
}

int op_opendir(Mount& m, const char* path, std::uint64_t* fh) {
    Found f;
    if (int r = resolve(m, path, &f)) return r;
    std::uint64_t start = ROOT_DIR_BLOCK;
    if (f.slot >= 0) {
        if (!f.is_dir()) return -ENOTDIR;
        start = entry_start(f.entry());
    }
    *fh = m.next_handle++;
    m.dir_handles[*fh] = start;
    m.handle_paths[*fh] = path;
    return 0;
}

int op_readdir_names(Mount& m, std::uint64_t fh, std::vector<std::pair<std::string, struct stat>>* out) {
    auto it = m.dir_handles.find(fh);
    if (it == m.dir_handles.end()) return -EBADF;
    // Read by its first block, so that it is found wherever it was moved.
    Folder f;
    if (int r = folder_at(m, it->second, &f)) return r;
    for (const auto& [s, name] : folder_listing(f.image)) {
        struct stat st;
        fill_stat(m, folder_entry(f, s), {it->second, s}, &st);
        out->emplace_back(name, st);
    }
    return 0;
}

int op_releasedir(Mount& m, std::uint64_t fh) {
    m.dir_handles.erase(fh);
    m.handle_paths.erase(fh);
    return 0;
}

const char* handle_path(const Mount& m, std::uint64_t fh) {
    auto it = m.handle_paths.find(fh);
    return it == m.handle_paths.end() ? "-" : it->second.c_str();
}

int op_open(Mount& m, const char* path, int flags, std::uint64_t* fh) {
    if ((flags & O_ACCMODE) != O_RDONLY && m.vol.read_only) return -EROFS;
    Found f;
    if (int r = resolve_file(m, path, &f)) return r;
    auto n = node_for(m, f.key());
    if (flags & O_TRUNC) {
        // libfuse hands O_TRUNC to open rather than sending a truncate.
        node_make_empty(m, *n);
        n->dirty = true;
    }
    *fh = handle_new(m, n, path);
    return 0;
}

int op_create(Mount& m, const char* path, std::uint64_t* fh) {
    Found at;
    RawName raw;
    if (int r = prepare_new(m, path, &at, &raw)) return r;
    // A new file is one zero block on the volume at once, so it holds its
    // entry number and its name like any other file.
    Block zero{};
    NewEntry e;
    e.name = raw;
    e.type = m.new_type;
    e.blocks = e.size = e.contiguous = 1;
    const FsErr r = fs_create(m.vol, at.folder, at.slot, e, fill_from_buffer(m.vol, zero.data(), BLOCK_SIZE, 1));
    if (r != FsErr::ok) return fs_fail(r);
    auto n = node_for(m, at.key());
    node_make_empty(m, *n);
    *fh = handle_new(m, n, path);
    return 0;
}

int op_read(Mount& m, std::uint64_t fh, char* buf, std::size_t size, off_t off) {
    auto n = handle(m, fh);
    if (!n) return -EBADF;
    if (n->orphan && !n->loaded) return -EIO;
    if (!n->loaded) return node_read_in_place(m, *n, buf, size, off);
    if (int r = node_load(m, *n)) return r;
    const std::uint64_t len = n->data.size();
    if (off < 0 || static_cast<std::uint64_t>(off) >= len) return 0;
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(size, len - static_cast<std::uint64_t>(off)));
    std::memcpy(buf, n->data.data() + off, k);
    return static_cast<int>(k);
}

int op_write(Mount& m, std::uint64_t fh, const char* buf, std::size_t size, off_t off) {
    auto n = handle(m, fh);
    if (!n) return -EBADF;
    if (int r = op_writable(m)) return r;
    if (off < 0) return -EINVAL;
    const std::uint64_t end = static_cast<std::uint64_t>(off) + size;
    if (end > MAX_FILE_BYTES) return -EFBIG;
    // The new chain is written beside the old one, so all of it must be
    // free, but for what is already streamed.
    const std::uint64_t need = (end + BLOCK_SIZE - 1) / BLOCK_SIZE;
    if (need > n->stream.blocks && need - n->stream.blocks > free_counter(m.vol)) return -ENOSPC;
    int r = stream_write(m, *n, buf, size, off);
    if (r <= 0) return r == 0 ? static_cast<int>(size) : r;
    r = node_load(m, *n);
    if (r != 0) return r;
    // Room for the largest file at once: untouched pages cost nothing, and
    // the data is never copied to a larger buffer as the file grows.
    if (end > n->data.capacity()) n->data.reserve(static_cast<std::size_t>(MAX_FILE_BYTES));
    // A write beyond the end leaves zeros between; the rest it fills itself.
    if (static_cast<std::uint64_t>(off) > n->data.size()) resize_zeroed(n->data, static_cast<std::size_t>(off));
    if (end > n->data.size()) n->data.resize(end);
    std::memcpy(n->data.data() + off, buf, size);
    n->dirty = true;
    return static_cast<int>(size);
}

int op_truncate(Mount& m, const char* path, off_t size, const std::uint64_t* fh) {
    if (int r = op_writable(m)) return r;
    if (size < 0) return -EINVAL;
    if (static_cast<std::uint64_t>(size) > MAX_FILE_BYTES) return -EFBIG;
    std::shared_ptr<Node> n = fh ? handle(m, *fh) : nullptr;
    if (!n) {
        Found f;
        if (int r = resolve_file(m, path, &f)) return r;
        n = node_for(m, f.key());
    }
    if (size == 0) {
        node_make_empty(m, *n);
    } else if (int r = node_load(m, *n)) {
        node_drop_if_idle(m, n);
        return r;
    }
    resize_zeroed(n->data, static_cast<std::size_t>(size));
    n->dirty = true;
    if (n->opens > 0) return 0;
    int r = node_store(m, *n);
    n->dirty = false;
    node_drop_if_idle(m, n);
    return r;
}

int op_flush(Mount& m, std::uint64_t fh) {
    auto n = handle(m, fh);
    if (!n) return -EBADF;
    return node_store(m, *n);
}

int op_fsync(Mount& m, std::uint64_t fh) {
    int r = op_flush(m, fh);
    if (r == 0 && fs_commit(m.vol) != FsErr::ok) r = -EIO;
    return r;
}

int op_release(Mount& m, std::uint64_t fh) {
    auto n = handle(m, fh);
    if (!n) return -EBADF;
    int r = node_store(m, *n);
    n->dirty = false;  // a failure was reported by flush; nothing more to do
    m.handles.erase(fh);
    m.handle_paths.erase(fh);
    if (--n->opens == 0) {
        n->loaded = false;
        n->data = {};
    }
    node_drop_if_idle(m, n);
    return r;
}

int op_unlink(Mount& m, const char* path) {
    if (int r = op_writable(m)) return r;
    Found f;
    if (int r = resolve_file(m, path, &f)) return r;
    return entry_remove(m, f);
}

int op_mkdir(Mount& m, const char* path) {
    Found at;
    RawName raw;
    if (int r = prepare_new(m, path, &at, &raw)) return r;
    const FsErr e = fs_make_folder(m.vol, at.folder, at.slot, raw);
    return e == FsErr::ok ? 0 : fs_fail(e);
}

int op_rmdir(Mount& m, const char* path) {
    if (int r = op_writable(m)) return r;
    Found f;
    if (int r = resolve(m, path, &f)) return r;
    if (f.slot < 0) return -EBUSY;
    if (!f.is_dir()) return -ENOTDIR;
    Folder child;
    if (folder_child(m.vol, f.folder, f.slot, &child) != FsErr::ok) return -EIO;
    if (folder_used(child) > 0) return -ENOTEMPTY;
    return entry_remove(m, f);
}

int op_link(Mount& m, const char* from, const char* to) {
    if (int r = op_writable(m)) return r;
    Found f;
    if (int r = resolve(m, from, &f)) return r;
    if (f.is_dir()) return -EPERM;
    const std::uint8_t* e = f.entry();
    if (entry_start(e) < data_start(total_blocks(m.vol))) return -EIO;
    NewEntry link;
    link.type = entry_type(e);
    link.blocks = 1;  // a link allocates nothing
    link.size = entry_size(e);
    link.contiguous = entry_contiguous(e);
    link.first = entry_start(e);
    Found at;
    if (int r = prepare_new(m, to, &at, &link.name)) return r;
    const FsErr r = fs_create(m.vol, at.folder, at.slot, link, {});
    return r == FsErr::ok ? 0 : fs_fail(r);
}

int op_getxattr(Mount& m, const char* path, const char* name, char* value, std::size_t size) {
    if (std::strcmp(name, TYPE_XATTR) != 0) return -ENODATA;
    Found f;
    if (int r = resolve(m, path, &f)) return r;
    if (f.is_dir()) return -ENODATA;
    char text[8];
    const int len = std::snprintf(text, sizeof text, "%u", unsigned{entry_type(f.entry())});
    if (size == 0) return len;
    if (size < static_cast<std::size_t>(len)) return -ERANGE;
    std::memcpy(value, text, static_cast<std::size_t>(len));
    return len;
}

int op_setxattr(Mount& m, const char* path, const char* name, const char* value, std::size_t size) {
    if (std::strcmp(name, TYPE_XATTR) != 0) return -ENOTSUP;
    if (int r = op_writable(m)) return r;
    Found f;
    if (int r = resolve(m, path, &f)) return r;
    if (f.is_dir()) return -EPERM;
    unsigned type = 0;
    std::size_t i = 0;
    for (; i < size && value[i] >= '0' && value[i] <= '9' && type <= 255; ++i) type = type * 10 + (value[i] - '0');
    while (i < size && (value[i] == '\n' || value[i] == '\0')) ++i;
    if (size == 0 || i != size || type > 255) return -EINVAL;
    // No file can take the types of an empty entry, a folder or a parent link.
    if (type == TYPE_EMPTY || type == TYPE_SUBDIR || type == TYPE_PARENT) return -EINVAL;
    std::uint8_t e[DIR_ENTRY_SIZE];
    std::memcpy(e, f.entry(), DIR_ENTRY_SIZE);
    e[entry_field::TYPE] = static_cast<std::uint8_t>(type);
    const FsErr r = fs_update(m.vol, f.folder, f.slot, e);
    return r == FsErr::ok ? 0 : r == FsErr::read_only ? -EROFS : -EIO;
}

int op_listxattr(Mount& m, const char* path, char* list, std::size_t size) {
    Found f;
    if (int r = resolve(m, path, &f)) return r;
    if (f.is_dir()) return 0;
    const std::size_t len = std::strlen(TYPE_XATTR) + 1;
    if (size == 0) return static_cast<int>(len);
    if (size < len) return -ERANGE;
    std::memcpy(list, TYPE_XATTR, len);
    return static_cast<int>(len);
}

int op_statfs(Mount& m, struct statvfs* st) {
    std::memset(st, 0, sizeof *st);
    st->f_bsize = BLOCK_SIZE;
    st->f_frsize = BLOCK_SIZE;
    st->f_blocks = total_blocks(m.vol);
    st->f_bfree = st->f_bavail = std::min<std::uint64_t>(free_counter(m.vol), st->f_blocks);
    st->f_namemax = NAME_LEN;
    return 0;
}
