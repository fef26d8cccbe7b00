// Messages, the repair question, and the writes every repair is made of.
// A directory is written (by the volume layer's folder_write, which orders
// the two blocks for entry 19) only after the FAT changes before it are on
// the volume, and each write ends in a barrier, so the order in which the
// passes call these is the order the volume sees.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "fat.h"
#include "fsck.h"

std::string fmt(const char* f, ...) {
    char buf[256];
    std::va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

namespace {

// Ask whether to do action; y, n or a (yes to this and every later one).
bool ask(Fsck& f, const char* action) {
    err_print("%s? [y/n/a] ", action);
    char line[64];
    if (!input_line(line, sizeof line)) {
        err_print("\n");
        f.mode = RepairMode::check_only;  // no more answers will come
        return false;
    }
    // Drop the rest of a long answer, up to its newline.
    char rest[64];
    bool whole = std::strchr(line, '\n') != nullptr;
    while (!whole && input_line(rest, sizeof rest)) whole = std::strchr(rest, '\n') != nullptr;
    if (line[0] == 'a') f.yes_to_all = true;
    return line[0] == 'y' || line[0] == 'a';
}

}  // namespace

bool problem(Fsck& f, const std::string& who, const std::string& what, const char* action) {
    ++f.problems;
    const char* path = who.empty() ? "/" : who.c_str();
    if (!action || f.failed || f.mode == RepairMode::check_only) {
        out_print("%s: %s\n", path, what.c_str());
        return false;
    }
    if (f.mode == RepairMode::all || f.yes_to_all) {
        out_print("%s: %s (%s)\n", path, what.c_str(), action);
        ++f.repaired;
        return true;
    }
    out_print("%s: %s\n", path, what.c_str());
    if (!ask(f, action)) return false;
    ++f.repaired;
    return true;
}

bool fat_put(Fsck& f, std::uint32_t b, std::uint32_t value) {
    if (f.failed) return false;
    if (fat_set(f.vol, b, value) != 0) {
        f.failed = true;
        return false;
    }
    be24_put(f.fat.get() + fat_block_of(b) * BLOCK_SIZE + fat_offset_of(b), value);
    if (value >= 3 && value < f.total && f.indeg[value] < 255) ++f.indeg[value];
    if (value == FAT_FREE && b < f.alloc_cursor) f.alloc_cursor = b;
    return true;
}

bool commit(Fsck& f) {
    if (f.failed) return false;
    if (fat_commit(f.vol) != 0) {
        err_print("error: can't write FAT.\n");
        f.failed = true;
    }
    return !f.failed;
}

bool dir_write(Fsck& f, DirNode& d) {
    if (!commit(f)) return false;
    if (folder_write(f.vol, d) != FsErr::ok || volume_barrier(f.vol) != 0) {
        err_print("error: can't write directory.\n");
        f.failed = true;
    }
    return !f.failed;
}

bool dir_relink(Fsck& f, std::uint32_t x, std::uint32_t p, std::uint32_t slot) {
    if (!commit(f)) return false;
    // The link names its parent as the parent's own entry does (the root
    // for one that no entry holds yet).
    const DirNode& parent = f.dirs[p];
    Folder to;
    to.start = parent.start;
    std::memcpy(to.name.data(), ROOT_NAME, NAME_LEN);
    if (p != 0 && parent.kept >= 0) {
        const DirRef& r = parent.refs[static_cast<std::size_t>(parent.kept)];
        std::memcpy(to.name.data(), dir_entry(f.dirs[r.dir].image, r.slot) + entry_field::NAME, NAME_LEN);
    }
    if (folder_relink(f.vol, f.dirs[x], to, static_cast<int>(slot)) != FsErr::ok) {
        err_print("error: can't write directory.\n");
        f.failed = true;
    }
    return !f.failed;
}

bool layer_done(Fsck& f, FsErr e) {
    // The layer has said what failed, in the same words.
    if (e != FsErr::ok) f.failed = true;
    return !f.failed;
}

bool copy_block(Fsck& f, std::uint32_t from, std::uint32_t to) {
    Block buf;
    if (f.failed) return false;
    if (block_read(f.vol, buf.data(), from) != 0) buf.fill(0);  // an unreadable block: zeros
    if (block_write(f.vol, buf.data(), to) != 0) f.failed = true;
    return !f.failed;
}

std::uint32_t find_free(Fsck& f, bool pair) {
    if (f.alloc_cursor < f.ds) f.alloc_cursor = f.ds;
    auto usable = [&f](std::uint64_t b) {
        return b < f.total && fat_of(f, b) == FAT_FREE && f.owner[b] == 0 && f.indeg[b] == 0;
    };
    for (std::uint64_t b = f.alloc_cursor; b < f.total; ++b) {
        if (!usable(b) || (pair && !usable(b + 1))) continue;
        if (!pair) f.alloc_cursor = static_cast<std::uint32_t>(b + 1);
        return static_cast<std::uint32_t>(b);
    }
    return 0;
}

std::string entry_name(const DirNode& d, std::uint32_t slot) {
    const std::uint8_t* name = dir_entry(d.image, slot) + entry_field::NAME;
    std::size_t n = NAME_LEN;
    while (n > 0 && name[n - 1] == ' ') --n;
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s.push_back(name[i] > 0x20 && name[i] < 0x7F && name[i] != '/' ? static_cast<char>(name[i]) : '?');
    return s.empty() ? fmt("#%u", slot) : s;
}
