// Sources for new chains, the bulk creation of many entries of one folder,
// and the errors' texts.
#include <cerrno>
#include <cstring>

#include "console.h"
#include "fat.h"
#include "fsys.h"

FsErr count_add(Volume& v, const Folder& f, int delta, Folder* other, bool* raised);

ChainFill fill_from_buffer(Volume& v, const std::uint8_t* data, std::uint64_t bytes, std::uint64_t blocks) {
    return [&v, data, bytes, blocks](std::uint64_t start, std::uint64_t contiguous) {
        std::vector<BlockRun> runs;
        if (chain_map(v, start, contiguous, blocks, Direction::write, runs) < 0) return -1;
        std::uint64_t done = 0;
        for (const BlockRun& r : runs) {
            // Whole blocks straight from the buffer; the last one padded.
            const std::uint64_t whole = std::min<std::uint64_t>(r.count, (bytes - std::min(bytes, done)) / BLOCK_SIZE);
            if (whole && blocks_write(v, data + done, r.first, whole) != 0) return -1;
            done += whole * BLOCK_SIZE;
            for (std::uint64_t b = whole; b < r.count; ++b) {
                Block tail{};
                if (done < bytes) std::memcpy(tail.data(), data + done, std::min<std::uint64_t>(BLOCK_SIZE, bytes - done));
                if (block_write(v, tail.data(), r.first + b) != 0) return -1;
                done += BLOCK_SIZE;
            }
        }
        return 0;
    };
}

ChainFill fill_from_host(Volume& v, int fd, std::uint64_t bytes, std::uint64_t blocks) {
    return [&v, fd, bytes, blocks](std::uint64_t start, std::uint64_t contiguous) {
        std::vector<BlockRun> runs;
        if (chain_map(v, start, contiguous, blocks, Direction::write, runs) < 0) return -1;
        return runs_from_host(v, runs, fd, bytes) == 0 ? 0 : -1;
    };
}

ChainFill fill_from_chain(Volume& v, Volume& from, std::uint64_t start, std::uint64_t contiguous,
                          std::uint64_t blocks) {
    return [&v, &from, start, contiguous, blocks](std::uint64_t to, std::uint64_t to_contiguous) {
        std::vector<BlockRun> src, dst;
        if (chain_map(from, start, contiguous, blocks, Direction::read, src) < 0) return -1;
        if (chain_map(v, to, to_contiguous, blocks, Direction::write, dst) < 0) return -1;
        if (&v == &from) return runs_copy(v, src, dst) == 0 ? 0 : -1;
        std::vector<std::uint8_t> buf(BLOCK_SIZE * 2048);
        std::uint64_t si = 0, so = 0, di = 0, dof = 0;
        while (si < src.size() && di < dst.size()) {
            const std::uint64_t n = std::min({src[si].count - so, dst[di].count - dof, std::uint64_t{2048}});
            if (block_read_run(from, buf.data(), src[si].first + so, n) != 0) return -1;
            if (blocks_write(v, buf.data(), dst[di].first + dof, n) != 0) return -1;
            if ((so += n) == src[si].count) ++si, so = 0;
            if ((dof += n) == dst[di].count) ++di, dof = 0;
        }
        return 0;
    };
}

namespace {

// Slots for the items of a batch: each the slot it asks for, when empty
// and not asked for twice, else the next free one; bad_slot when none.
void batch_slots(const Folder& f, std::vector<BatchItem>& items) {
    std::array<bool, DIR_ENTRIES> taken{};
    for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i)
        taken[static_cast<std::size_t>(i)] = entry_type(folder_entry(f, i)) != TYPE_EMPTY;
    int next = 1;
    for (BatchItem& it : items) {
        const bool wanted = it.slot >= 1 && it.slot <= static_cast<int>(MAX_ENTRY_NR);
        if (!wanted || taken[static_cast<std::size_t>(it.slot)]) {
            while (next <= static_cast<int>(MAX_ENTRY_NR) && taken[static_cast<std::size_t>(next)]) ++next;
            it.slot = next <= static_cast<int>(MAX_ENTRY_NR) ? next : -1;
        }
        if (it.slot < 0) {
            it.err = FsErr::bad_slot;
            continue;
        }
        taken[static_cast<std::size_t>(it.slot)] = true;
    }
}

// Link and fill the chain of one item: its first block and run, or the
// item's err set with nothing left allocated.
void batch_chain(Volume& v, BatchItem& it, std::uint64_t* start, std::uint64_t* contiguous) {
    const NewEntry& n = it.entry;
    *start = n.first;
    *contiguous = n.contiguous;
    if (n.blocks == 0) it.err = FsErr::zero_length;
    else if (n.blocks > MAX_FILE_BLOCKS) it.err = FsErr::too_big;
    else if (n.type == TYPE_EMPTY) it.err = FsErr::bad_type;
    if (it.err != FsErr::ok || n.first != 0) return;
    if (n.blocks > free_counter(v)) {
        it.err = FsErr::no_space;
        return;
    }
    it.err = fs_chain_new_uncommitted(v, n.blocks, it.fill, start, contiguous);
}

void entry_put(std::uint8_t* e, const NewEntry& n, std::uint64_t contiguous, std::uint64_t start) {
    std::memset(e, 0, DIR_ENTRY_SIZE);
    e[entry_field::TYPE] = n.type;
    std::memcpy(e + entry_field::NAME, n.name.data(), NAME_LEN);
    be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(n.size));
    be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(contiguous));
    be32_put(e + entry_field::START, static_cast<std::uint32_t>(start));
}

// Give back the chains of the made items after the batch failed.
void batch_undo(Volume& v, std::vector<BatchItem>& items, const std::vector<std::uint64_t>& starts, FsErr why) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].err != FsErr::ok) continue;
        if (items[i].entry.first == 0) blocks_release(v, starts[i], items[i].entry.blocks);
        items[i].err = why;
    }
    fat_command_end(v);
}

}  // namespace

FsErr fs_create_batch(Volume& v, Folder& f, std::vector<BatchItem>& items) {
    if (v.read_only) return FsErr::read_only;
    batch_slots(f, items);
    std::vector<std::uint64_t> starts(items.size()), runs(items.size());
    int made = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].err != FsErr::ok) continue;
        batch_chain(v, items[i], &starts[i], &runs[i]);
        made += items[i].err == FsErr::ok;
    }
    if (made == 0) return fat_command_end(v) == 0 ? FsErr::ok : FsErr::fat_error;
    bool raised = false;
    FsErr e = count_add(v, f, made, nullptr, &raised);
    // Every chain and the count are durable before any entry names them.
    if (e == FsErr::ok && fat_commit(v) != 0) e = FsErr::fat_error;
    if (e != FsErr::ok) {
        if (raised) count_add(v, f, -made, nullptr, &raised);
        batch_undo(v, items, starts, e);
        return e;
    }
    const DirImage before = f.image;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].err == FsErr::ok) entry_put(folder_entry(f, items[i].slot), items[i].entry, runs[i], starts[i]);
    if (folder_write(v, f) == FsErr::ok) return FsErr::ok;
    f.image = before;
    // The entries may be on the volume in part: nothing is given back until
    // the folder is known to be without them.
    if (folder_write(v, f) == FsErr::ok && volume_barrier(v) == 0) {
        count_add(v, f, -made, nullptr, &raised);
        batch_undo(v, items, starts, FsErr::write_error);
    } else {
        for (BatchItem& it : items)
            if (it.err == FsErr::ok) it.err = FsErr::write_error;
    }
    return FsErr::write_error;
}

const char* fs_strerror(FsErr e) {
    switch (e) {
    case FsErr::ok: return "done";
    case FsErr::read_only: return "volume is read-only";
    case FsErr::bad_slot: return "folder is full (38 entries)";
    case FsErr::no_entry: return "no such file or folder";
    case FsErr::not_folder: return "not a folder";
    case FsErr::is_folder: return "is a folder";
    case FsErr::exists: return "name already taken";
    case FsErr::not_empty: return "folder is not empty";
    case FsErr::name_too_long: return "name longer than 12 bytes";
    case FsErr::zero_length: return "file of no blocks";
    case FsErr::too_big: return "larger than 65,535 blocks";
    case FsErr::no_space: return "not enough free blocks";
    case FsErr::bad_type: return "invalid type";
    case FsErr::into_itself: return "folder cannot go into itself";
    case FsErr::is_root: return "the root cannot be changed so";
    case FsErr::damaged: return "volume damaged (run zvkfsck)";
    case FsErr::fill_failed: return "source could not be read";
    case FsErr::read_error: return "read error on the volume";
    case FsErr::write_error: return "write error on the volume";
    case FsErr::fat_error: return "FAT could not be written";
    case FsErr::no_memory: return "out of memory";
    }
    return "unknown error";
}

int fs_errno(FsErr e) {
    switch (e) {
    case FsErr::ok: return 0;
    case FsErr::read_only: return EROFS;
    case FsErr::bad_slot: return ENOSPC;
    case FsErr::no_entry: return ENOENT;
    case FsErr::not_folder: return ENOTDIR;
    case FsErr::is_folder: return EISDIR;
    case FsErr::exists: return EEXIST;
    case FsErr::not_empty: return ENOTEMPTY;
    case FsErr::name_too_long: return ENAMETOOLONG;
    case FsErr::too_big: return EFBIG;
    case FsErr::no_space: return ENOSPC;
    case FsErr::zero_length: case FsErr::bad_type: case FsErr::into_itself: return EINVAL;
    case FsErr::is_root: return EBUSY;
    case FsErr::no_memory: return ENOMEM;
    default: return EIO;
    }
}
