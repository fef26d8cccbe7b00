#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "console.h"
#include "dircmd.h"
#include "entry.h"
#include "fat.h"
#include "mount.h"
#include "path.h"

namespace {

constexpr const char* TYPE_XATTR = "user.zvk.type";

// Find path: the working directory becomes its directory and *slot its
// entry number, or -1 for the root itself. 0 or -errno.
int resolve(Mount& m, const char* path, int* slot) {
    std::string last;
    if (int r = walk_parent(m, path, &last)) return r;
    if (last.empty()) {
        *slot = -1;
        return 0;
    }
    int s = dir_lookup(*m.fs, last);
    if (s < 0) return s;
    *slot = s;
    return 0;
}

std::uint8_t* entry_at(Mount& m, int slot) { return dir_entry(m.fs->wd.image, static_cast<std::size_t>(slot)); }

EntryKey key_of(Mount& m, int slot) { return {m.fs->wd.current_dir->start, slot}; }

// Resolve path to a file entry (not a directory): 0 or -errno.
int resolve_file(Mount& m, const char* path, int* slot) {
    if (int r = resolve(m, path, slot)) return r;
    if (*slot < 0 || entry_type(entry_at(m, *slot)) == TYPE_SUBDIR) return -EISDIR;
    return 0;
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

// Parent directory resolved and a new name checked for path: *last the
// component, *raw its stored form. 0, -EEXIST or -errno.
int prepare_new(Mount& m, const char* path, std::string* last, RawName* raw) {
    if (int r = op_writable(m)) return r;
    if (int r = walk_parent(m, path, last)) return r;
    if (last->empty()) return -EEXIST;
    if (name_encode(last->c_str(), *raw) != 0) return -ENAMETOOLONG;
    int s = dir_lookup(*m.fs, *last);
    if (s >= 0) return -EEXIST;
    return s == -ENOENT ? 0 : s;
}

// The entry bytes of a new entry.
void entry_make(std::uint8_t* e, std::uint8_t type, const RawName& name, std::uint64_t size, std::uint64_t contig,
                std::uint64_t start) {
    std::memset(e, 0, DIR_ENTRY_SIZE);
    e[entry_field::TYPE] = type;
    std::memcpy(e + entry_field::NAME, name.data(), NAME_LEN);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(size));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(contig));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(start));
}

// A free entry number of the working directory, or -ENOSPC.
int free_slot(Mount& m) {
    int s = dir_find_free_slot(*m.fs);
    return s < 0 ? -ENOSPC : s;
}

// Remove entry slot of the working directory without freeing its chain;
// the chain goes afterwards when no other entry names it.
int entry_remove(Mount& m, int slot) {
    node_detach(m, key_of(m, slot));
    const std::uint8_t* e = entry_at(m, slot);
    const std::uint64_t start = entry_start(e);
    const std::uint64_t limit = entry_type(e) == TYPE_SUBDIR ? 2 : entry_size(e);
    const EntryKey key = key_of(m, slot);
    int r = entry_delete(*m.fs, static_cast<std::uint32_t>(slot), 0);
    m.census.valid = false;
    // From -6 on the entry is gone and only the parent's count was missed.
    if (r != 0 && r > -6) return -EIO;
    auto it = m.nodes.find(key);
    if (it != m.nodes.end()) {
        it->second->orphan = true;
        m.nodes.erase(it);
    }
    chain_release_unshared(m, start, limit);
    return 0;
}

// True when every entry but the parent link of the directory at start is empty.
int dir_is_empty(Mount& m, std::uint64_t start) {
    DirImage image;
    if (dir_transfer(*m.fs, image.data(), start, Direction::read) != 0) return -EIO;
    for (std::size_t i = 1; i < DIR_ENTRIES; ++i)
        if (entry_type(dir_entry(image, i)) != TYPE_EMPTY) return -ENOTEMPTY;
    return 0;
}

}  // namespace

int op_writable(Mount& m) { return m.fs->vol.read_only ? -EROFS : 0; }

void node_detach(Mount& m, const EntryKey& key) {
    auto it = m.nodes.find(key);
    if (it != m.nodes.end() && it->second->opens > 0) node_load(m, *it->second);  // failing, its reads give EIO
}

int op_getattr(Mount& m, const char* path, struct stat* st) {
    int slot;
    if (int r = resolve(m, path, &slot)) return r;
    if (slot < 0)
        fill_root_stat(m, st);
    else
        fill_stat(m, entry_at(m, slot), key_of(m, slot), st);
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
    DirImage image;
    if (dir_transfer(*m.fs, image.data(), n->key.first, Direction::read) != 0) return -EIO;
    fill_stat(m, dir_entry(image, static_cast<std::size_t>(n->key.second)), n->key, st);
    return 0;
}

int op_opendir(Mount& m, const char* path, std::uint64_t* fh) {
    int slot;
    if (int r = resolve(m, path, &slot)) return r;
    std::uint64_t start = ROOT_DIR_BLOCK;
    if (slot >= 0) {
        const std::uint8_t* e = entry_at(m, slot);
        if (entry_type(e) != TYPE_SUBDIR) return -ENOTDIR;
        start = entry_start(e);
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
    DirImage image;
    if (dir_transfer(*m.fs, image.data(), it->second, Direction::read) != 0) return -EIO;
    for (const auto& [s, name] : dir_listing(image)) {
        struct stat st;
        fill_stat(m, dir_entry(image, static_cast<std::size_t>(s)), {it->second, s}, &st);
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
    if ((flags & O_ACCMODE) != O_RDONLY && m.fs->vol.read_only) return -EROFS;
    int slot;
    if (int r = resolve_file(m, path, &slot)) return r;
    auto n = node_for(m, key_of(m, slot));
    if (flags & O_TRUNC) {
        // libfuse hands O_TRUNC to open rather than sending a truncate.
        node_make_empty(m, *n);
        n->dirty = true;
    }
    *fh = handle_new(m, n, path);
    return 0;
}

int op_create(Mount& m, const char* path, std::uint64_t* fh) {
    std::string last;
    RawName raw;
    if (int r = prepare_new(m, path, &last, &raw)) return r;
    int slot = free_slot(m);
    if (slot < 0) return slot;
    const std::uint64_t dir = m.fs->wd.current_dir->start;
    // A new file is one zero block on the volume at once, so it holds its
    // entry number and its name like any other file.
    Block zero{};
    std::uint64_t start, contig;
    if (int r = chain_write_new(m, zero.data(), 1, 1, &start, &contig)) return r;
    std::uint8_t e[DIR_ENTRY_SIZE];
    entry_make(e, m.new_type, raw, 1, contig, start);
    if (int r = entry_place(m, slot, e)) {
        blocks_release(m.fs->vol, start, 1);
        fat_commit(m.fs->vol);
        return r;
    }
    auto n = node_for(m, {dir, slot});
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
    if (need > n->stream.blocks && need - n->stream.blocks > free_counter(m.fs->vol)) return -ENOSPC;
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
        int slot;
        if (int r = resolve_file(m, path, &slot)) return r;
        n = node_for(m, key_of(m, slot));
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
    int slot;
    if (int r = resolve_file(m, path, &slot)) return r;
    return entry_remove(m, slot);
}

int op_mkdir(Mount& m, const char* path) {
    std::string last;
    RawName raw;
    if (int r = prepare_new(m, path, &last, &raw)) return r;
    int slot = free_slot(m);
    if (slot < 0) return slot;
    Fs& fs = *m.fs;
    // The new directory's blocks, with the parent link, before its entry.
    DirImage image{};
    std::uint8_t* link = dir_entry(image, 0);
    link[entry_field::TYPE] = TYPE_PARENT;
    std::memcpy(link + entry_field::NAME, fs.wd.current_dir->name.data(), NAME_LEN);
    be16_put(link + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(slot));
    be32_put(link + entry_field::START, static_cast<std::uint32_t>(fs.wd.current_dir->start));
    image[DIR_SIGNATURE] = 'D';
    image[DIR_SIGNATURE + 1] = 'R';
    std::uint64_t start, contig;
    if (int r = chain_write_new(m, image.data(), 2, 2, &start, &contig)) return r;
    std::uint8_t e[DIR_ENTRY_SIZE];
    entry_make(e, TYPE_SUBDIR, raw, 0, contig, start);
    if (int r = entry_place(m, slot, e)) {
        blocks_release(fs.vol, start, 2);
        fat_commit(fs.vol);
        return r;
    }
    return 0;
}

int op_rmdir(Mount& m, const char* path) {
    if (int r = op_writable(m)) return r;
    int slot;
    if (int r = resolve(m, path, &slot)) return r;
    if (slot < 0) return -EBUSY;
    const std::uint8_t* e = entry_at(m, slot);
    if (entry_type(e) != TYPE_SUBDIR) return -ENOTDIR;
    if (int r = dir_is_empty(m, entry_start(e))) return r;
    return entry_remove(m, slot);
}

int op_link(Mount& m, const char* from, const char* to) {
    if (int r = op_writable(m)) return r;
    int slot;
    if (int r = resolve(m, from, &slot)) return r;
    if (slot < 0 || entry_type(entry_at(m, slot)) == TYPE_SUBDIR) return -EPERM;
    std::uint8_t e[DIR_ENTRY_SIZE];
    std::memcpy(e, entry_at(m, slot), DIR_ENTRY_SIZE);
    if (entry_start(e) < data_start(total_blocks(m.fs->vol))) return -EIO;
    std::string last;
    RawName raw;
    if (int r = prepare_new(m, to, &last, &raw)) return r;
    int dest = free_slot(m);
    if (dest < 0) return dest;
    std::memcpy(e + entry_field::NAME, raw.data(), NAME_LEN);
    return entry_place(m, dest, e);
}

int op_getxattr(Mount& m, const char* path, const char* name, char* value, std::size_t size) {
    if (std::strcmp(name, TYPE_XATTR) != 0) return -ENODATA;
    int slot;
    if (int r = resolve(m, path, &slot)) return r;
    if (std::strcmp(name, TYPE_XATTR) != 0 || slot < 0 || entry_type(entry_at(m, slot)) == TYPE_SUBDIR)
        return -ENODATA;
    char text[8];
    const int len = std::snprintf(text, sizeof text, "%u", unsigned{entry_type(entry_at(m, slot))});
    if (size == 0) return len;
    if (size < static_cast<std::size_t>(len)) return -ERANGE;
    std::memcpy(value, text, static_cast<std::size_t>(len));
    return len;
}

int op_setxattr(Mount& m, const char* path, const char* name, const char* value, std::size_t size) {
    if (std::strcmp(name, TYPE_XATTR) != 0) return -ENOTSUP;
    if (int r = op_writable(m)) return r;
    int slot;
    if (int r = resolve(m, path, &slot)) return r;
    if (slot < 0 || entry_type(entry_at(m, slot)) == TYPE_SUBDIR) return -EPERM;
    unsigned type = 0;
    std::size_t i = 0;
    for (; i < size && value[i] >= '0' && value[i] <= '9' && type <= 255; ++i) type = type * 10 + (value[i] - '0');
    while (i < size && (value[i] == '\n' || value[i] == '\0')) ++i;
    if (size == 0 || i != size || type > 255) return -EINVAL;
    int r = cmd_chtype(*m.fs, static_cast<std::uint8_t>(type), static_cast<std::uint32_t>(slot));
    if (r == -3) return -EINVAL;
    return r == 0 ? 0 : -EIO;
}

int op_listxattr(Mount& m, const char* path, char* list, std::size_t size) {
    int slot;
    if (int r = resolve(m, path, &slot)) return r;
    if (slot < 0 || entry_type(entry_at(m, slot)) == TYPE_SUBDIR) return 0;
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
    st->f_blocks = total_blocks(m.fs->vol);
    st->f_bfree = st->f_bavail = std::min<std::uint64_t>(free_counter(m.fs->vol), st->f_blocks);
    st->f_namemax = NAME_LEN;
    return 0;
}
