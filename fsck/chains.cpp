// File chains (pass 1): followed from the entry's first block, each block
// claimed for the entry; a chain that meets trouble is mended there and
// then the entry's size and contiguous count are set from the chain. The
// FAT is always committed before the entry is written.
#include <algorithm>

#include "fsck.h"

namespace {

// One file chain being followed.
struct ChainWalk {
    std::uint32_t d, slot, id;
    std::string who;
    std::uint32_t start;  // first block (changes when the first block is copied)
    std::vector<std::uint32_t> blocks;
    bool left = false;     // a fault was left as it is
    bool cleared = false;  // the entry was removed
};

void add(Fsck& f, ChainWalk& w, std::uint32_t b) {
    claim(f, w.id, b);
    w.blocks.push_back(b);
}

void cut_after(Fsck& f, std::uint32_t b) {
    fat_put(f, b, FAT_EOF);
    commit(f);
}

// A chain that ends on its last good block prev, or has none (clear the entry).
void end_before(Fsck& f, ChainWalk& w, std::uint32_t prev, const std::string& what) {
    if (!problem(f, w.who, what, act(f, w.d, prev ? "chain cut before it" : "entry cleared"))) {
        w.left = true;
    } else if (prev) {
        cut_after(f, prev);
    } else {
        clear_entry(f, w.d, w.slot);
        w.cleared = true;
    }
}

// Block b, free in the FAT, is where the chain goes next: the rest of the
// entry's contiguous run when that covers its size and nothing else holds
// it (the FAT lost the run, its data is intact), else b alone.
void free_block(Fsck& f, ChainWalk& w, std::uint32_t b) {
    const std::uint8_t* e = dir_entry(f.dirs[w.d].image, w.slot);
    const std::uint32_t size = entry_size(e), cont = entry_contiguous(e);
    const auto pos = static_cast<std::uint32_t>(w.blocks.size());
    std::uint64_t last = std::uint64_t{w.start} + size - 1;
    bool rebuild = b == w.start + pos && pos < cont && cont >= size && size > pos + 1 && last < f.total;
    // Each block of the run is free, or still linked as the run would link it.
    for (std::uint64_t x = b; rebuild && x <= last; ++x)
        rebuild = f.owner[x] == 0 && (fat_of(f, x) == FAT_FREE || fat_of(f, x) == (x == last ? FAT_EOF : x + 1));
    const std::string what = pos == 0 ? fmt("first block %u is free", b) : fmt("chain runs into free block %u", b);
    const std::string action =
        rebuild ? fmt("chain rebuilt as blocks %u-%u", b, static_cast<std::uint32_t>(last)) : "block marked used";
    if (!problem(f, w.who, what, act(f, w.d, action.c_str()))) {
        w.left = true;
        return;
    }
    if (!rebuild) last = b;
    for (std::uint64_t x = b; x <= last; ++x) {
        fat_put(f, static_cast<std::uint32_t>(x), x == last ? FAT_EOF : static_cast<std::uint32_t>(x + 1));
        add(f, w, static_cast<std::uint32_t>(x));
    }
    commit(f);
}

// Blocks from b on belong to another chain: give this one its own copies.
void shared(Fsck& f, ChainWalk& w, std::uint32_t prev, std::uint32_t b) {
    const std::uint32_t o = f.owner[b];
    std::vector<std::uint32_t> src;
    const std::size_t room = MAX_FILE_BLOCKS - w.blocks.size();
    for (std::uint32_t x = b; in_data(f, x) && f.owner[x] == o && src.size() < room; x = fat_of(f, x)) {
        if (std::find(src.begin(), src.end(), x) != src.end()) break;
        src.push_back(x);
        if (fat_of(f, x) == FAT_EOF || src.size() >= f.chains[o - 1].length) break;
    }
    std::vector<std::uint32_t> dst;
    const std::uint32_t cursor = f.alloc_cursor;
    for (std::size_t i = 0; i < src.size(); ++i) {
        const std::uint32_t n = find_free(f, false);
        if (n == 0) break;
        dst.push_back(n);
    }
    const std::string what = fmt("block %u is also in the chain of %s", b, f.chains[o - 1].owner.c_str());
    if (dst.size() < src.size()) {
        f.alloc_cursor = cursor;
        return end_before(f, w, prev, what);
    }
    const std::string action = fmt("given its own copy of %zu blocks", src.size());
    if (!problem(f, w.who, what, act(f, w.d, action.c_str()))) {
        f.alloc_cursor = cursor;
        w.left = true;
        return;
    }
    for (std::size_t i = 0; i < src.size(); ++i) {
        copy_block(f, src[i], dst[i]);
        fat_put(f, dst[i], i + 1 < dst.size() ? dst[i + 1] : FAT_EOF);
        add(f, w, dst[i]);
    }
    commit(f);  // the copies and their chain, before anything names them
    if (prev) {
        fat_put(f, prev, dst[0]);
        commit(f);
    } else {
        w.start = dst[0];
    }
}

// Follow the chain from w.start, mending what the answers allow.
void follow(Fsck& f, ChainWalk& w) {
    std::uint32_t b = w.start, prev = 0;
    for (;;) {
        if (f.owner[b] == w.id + 1) {
            if (problem(f, w.who, fmt("chain loops back to block %u", b), act(f, w.d, "chain cut")))
                cut_after(f, prev);
            else
                w.left = true;
            return;
        }
        if (f.owner[b] != 0) return shared(f, w, prev, b);
        const std::uint32_t v = fat_of(f, b);
        if (v == FAT_FREE) return free_block(f, w, b);
        if (v == FAT_BAD) return end_before(f, w, prev, fmt("chain runs into bad block %u", b));
        add(f, w, b);
        if (v == FAT_EOF) return;
        if (!in_data(f, v)) {
            const std::string what = fmt("chain leaves the data area after block %u (next %u)", b, v);
            if (problem(f, w.who, what, act(f, w.d, "chain cut")))
                cut_after(f, b);
            else
                w.left = true;
            return;
        }
        if (w.blocks.size() >= MAX_FILE_BLOCKS) {
            if (problem(f, w.who, "chain is longer than 65535 blocks", act(f, w.d, "chain cut at 65535 blocks")))
                cut_after(f, b);
            else
                w.left = true;
            return;
        }
        prev = b;
        b = v;
    }
}

// Set the entry's first block, size and contiguous count from its chain.
void fix_fields(Fsck& f, std::uint32_t d, std::uint32_t slot, const std::string& who, std::uint32_t start,
                const Chain& c) {
    std::uint8_t* e = dir_entry(f.dirs[d].image, slot);
    bool changed = entry_start(e) != start;
    be32_put(e + entry_field::START, start);
    if (entry_size(e) != c.length &&
        problem(f, who, fmt("size field %u but the chain has %u blocks", entry_size(e), c.length),
                act(f, d, fmt("size set to %u", c.length).c_str()))) {
        be16_put(e + entry_field::SIZE, static_cast<std::uint16_t>(c.length));
        changed = true;
    }
    const std::uint32_t cont = entry_contiguous(e);
    if ((cont == 0 || cont > c.run) &&
        problem(f, who, fmt("contiguous count %u but the chain starts with %u adjacent blocks", cont, c.run),
                act(f, d, fmt("contiguous count set to %u", c.run).c_str()))) {
        be16_put(e + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(c.run));
        changed = true;
    }
    if (changed) dir_write(f, f.dirs[d]);
}

}  // namespace

void claim(Fsck& f, std::uint32_t id, std::uint32_t b) { f.owner[b] = id + 1; }

std::uint32_t new_chain(Fsck& f, std::uint32_t first, bool dir, const std::string& who) {
    Chain c;
    c.first = first;
    c.dir = dir;
    c.owner = who;
    f.chains.push_back(std::move(c));
    return static_cast<std::uint32_t>(f.chains.size() - 1);
}

void check_file(Fsck& f, std::uint32_t d, std::uint32_t slot, const std::string& who) {
    ++f.files;
    const std::uint32_t start = entry_start(dir_entry(f.dirs[d].image, slot));
    if (auto it = f.file_at.find(start); it != f.file_at.end()) {
        const Chain c = f.chains[it->second];  // a link to a chain already checked
        return fix_fields(f, d, slot, who, start, c);
    }
    ChainWalk w{d, slot, new_chain(f, start, false, who), who, start, {}, false, false};
    follow(f, w);
    if (w.cleared || f.failed) return;
    Chain& c = f.chains[w.id];
    c.first = w.start;
    c.length = static_cast<std::uint32_t>(w.blocks.size());
    c.run = leading_run(w.blocks);
    if (!w.blocks.empty()) f.file_at[w.start] = w.id;
    if (w.left) return;  // the fields follow the chain once it is mended
    fix_fields(f, d, slot, who, w.start, f.chains[w.id]);
}
