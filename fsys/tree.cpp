// A batch of new entries across folders, made with one barrier.
#include "tree.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "batch.h"
#include "fat.h"

// Defined with the other operations (ops.cpp, move.cpp).
FsErr count_add(Volume& v, const Folder& f, int delta, Folder* other, bool* raised);

namespace {

using EntryBytes = std::array<std::uint8_t, DIR_ENTRY_SIZE>;

// New folders whose images stay in memory at once; the others are written
// and read back when they get more entries.
constexpr std::size_t OPEN_FOLDERS = 32;


}  // namespace

struct TreeBatch::Node {
    bool existing = false;
    std::uint64_t start = 0;
    RawName name{};
    int parent = -1, slot = -1;  // a new folder's entry
    int top = -1;                // the existing folder the node lies under (itself for one)
    std::unique_ptr<Folder> f;   // the image: always for an existing folder, while open for a new one
    std::array<bool, DIR_ENTRIES> taken{};
    struct Pending {
        int slot;
        EntryBytes bytes;
    };
    std::vector<Pending> pending;                // an existing folder's new entries
    std::vector<std::pair<int, int>> patches;    // a closed new folder: counts (slot, count) of closed children
    int entries = 0;                             // a new folder's count
    std::uint64_t used = 0;
    FsErr err = FsErr::ok;
    bool shared = false;  // an existing folder some chains under which a link elsewhere names

    int free_slot() const {
        for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i)
            if (!taken[static_cast<std::size_t>(i)]) return i;
        return -1;
    }
};

TreeBatch::TreeBatch(Volume& v) : v_(v) {}

std::size_t TreeBatch::held() const {
    return nodes_.size() * sizeof(Node) + (tops_.size() + open_.size()) * sizeof(Folder) +
           owned_.size() * sizeof(Owned) + tops_.size() * MAX_ENTRY_NR * sizeof(Node::Pending);
}

TreeBatch::~TreeBatch() {
    if (done_ || owned_.empty()) return;
    give_back(-1);
    fat_command_end(v_);
}

void TreeBatch::give_back(int top) {
    // Chains a link under another folder names stay: blocks lost at worst.
    if (top >= 0 && nodes_[static_cast<std::size_t>(top)]->shared) return;
    for (Owned& o : owned_)
        if (o.blocks != 0 && (top < 0 || o.top == top)) {
            blocks_release(v_, o.start, o.blocks);
            o.blocks = 0;
        }
}

FsErr TreeBatch::usable(int h) const {
    if (h < 0 || static_cast<std::size_t>(h) >= nodes_.size() || done_) return FsErr::no_entry;
    if (v_.read_only) return FsErr::read_only;
    return broken_;
}

int TreeBatch::existing(const Folder& f) {
    if (auto it = tops_.find(f.start); it != tops_.end()) return it->second;
    auto n = std::make_unique<Node>();
    n->existing = true;
    n->start = f.start;
    n->name = f.name;
    n->f = std::make_unique<Folder>(f);
    for (int i = 0; i <= static_cast<int>(MAX_ENTRY_NR); ++i)
        n->taken[static_cast<std::size_t>(i)] = i == 0 || entry_type(folder_entry(f, i)) != TYPE_EMPTY;
    const int h = static_cast<int>(nodes_.size());
    n->top = h;
    nodes_.push_back(std::move(n));
    tops_.emplace(f.start, h);
    return h;
}

// Hold the image of node h, reading a closed new folder back from its
// blocks (with the counts of children closed since): ok or read_error.
FsErr TreeBatch::open(int h) {
    Node& n = *nodes_[static_cast<std::size_t>(h)];
    n.used = ++clock_;
    if (n.f) return FsErr::ok;
    auto f = std::make_unique<Folder>();
    if (block_read_run(v_, f->image.data(), n.start, 2) != 0) return FsErr::read_error;
    for (const auto& [slot, count] : n.patches)
        be16_put(folder_entry(*f, slot) + entry_field::SIZE, static_cast<std::uint16_t>(count));
    n.patches.clear();
    f->start = n.start;
    f->parent = nodes_[static_cast<std::size_t>(n.parent)]->start;
    f->name = n.name;
    f->stored = f->image;
    f->loaded = true;
    n.f = std::move(f);
    open_.push_back(h);
    close_some();
    return FsErr::ok;
}

// Let go of the least recently used open new folders beyond the limit.
void TreeBatch::close_some() {
    while (open_.size() > OPEN_FOLDERS) {
        auto oldest = std::min_element(open_.begin(), open_.end(), [this](int a, int b) {
            return nodes_[static_cast<std::size_t>(a)]->used < nodes_[static_cast<std::size_t>(b)]->used;
        });
        if (close(*oldest) != FsErr::ok) return;
    }
}

// Entry slot of node parent becomes entry.
void TreeBatch::place(int parent, int slot, const std::uint8_t* entry) {
    Node& p = *nodes_[static_cast<std::size_t>(parent)];
    p.taken[static_cast<std::size_t>(slot)] = true;
    if (p.existing) {
        Node::Pending add{slot, {}};
        std::memcpy(add.bytes.data(), entry, DIR_ENTRY_SIZE);
        p.pending.push_back(add);
        return;
    }
    std::memcpy(folder_entry(*p.f, slot), entry, DIR_ENTRY_SIZE);
    ++p.entries;
}

int TreeBatch::folder(int parent, const RawName& name, FsErr* err) {
    *err = usable(parent);
    if (*err == FsErr::ok) *err = open(parent);
    if (*err != FsErr::ok) return -1;
    Node& p = *nodes_[static_cast<std::size_t>(parent)];
    const int slot = p.free_slot();
    std::uint64_t start = 0, run = 2;
    if (slot < 0) *err = FsErr::bad_slot;
    else if (free_counter(v_) < 2) *err = FsErr::no_space;
    else *err = fs_chain_new_uncommitted(v_, 2, {}, &start, &run);
    if (*err == FsErr::ok && run < 2) {
        blocks_release(v_, start, 2);
        *err = FsErr::no_space;
    }
    if (*err != FsErr::ok) return -1;
    owned_.push_back({start, 2, p.top});
    auto n = std::make_unique<Node>();
    n->start = start;
    n->name = name;
    n->parent = parent;
    n->slot = slot;
    n->top = p.top;
    n->taken[0] = true;
    n->f = std::make_unique<Folder>(folder_blank(start));
    n->f->parent = p.start;
    n->f->name = name;
    parent_link_put(folder_entry(*n->f, 0), *p.f, slot);
    EntryBytes entry{};
    entry_fill(entry.data(), new_folder_entry(name), 2, start);
    place(parent, slot, entry.data());
    const int h = static_cast<int>(nodes_.size());
    nodes_.push_back(std::move(n));
    open_.push_back(h);
    open(h);
    close_some();
    return h;
}

FsErr TreeBatch::add(int parent, NewEntry& e, const ChainFill& fill, int* slot) {
    FsErr err = usable(parent);
    if (err != FsErr::ok) return err;
    if (e.blocks == 0) return FsErr::zero_length;
    if (e.blocks > MAX_FILE_BLOCKS) return FsErr::too_big;
    if (e.type == TYPE_EMPTY || e.type == TYPE_SUBDIR || e.type == TYPE_PARENT) return FsErr::bad_type;
    if ((err = open(parent)) != FsErr::ok) return err;
    Node& p = *nodes_[static_cast<std::size_t>(parent)];
    const int s = p.free_slot();
    if (s < 0) return FsErr::bad_slot;
    std::uint64_t start = e.first, run = e.contiguous;
    if (start == 0) {
        if (e.blocks > free_counter(v_)) return FsErr::no_space;
        if ((err = fs_chain_new_uncommitted(v_, e.blocks, fill, &start, &run)) != FsErr::ok) return err;
        owned_.push_back({start, e.blocks, p.top});
        owner_.emplace(start, p.top);
    } else if (auto o = owner_.find(start); o != owner_.end() && o->second != p.top) {
        // Named from under two existing folders: kept whatever becomes of one.
        nodes_[static_cast<std::size_t>(o->second)]->shared = true;
    }
    EntryBytes entry{};
    entry_fill(entry.data(), e, run, start);
    place(parent, s, entry.data());
    e.first = start;
    e.contiguous = run;
    if (slot) *slot = s;
    return FsErr::ok;
}

// The count of the closed new folder n into its entry, wherever that is.
void TreeBatch::count_to_parent(const Node& n) {
    Node& p = *nodes_[static_cast<std::size_t>(n.parent)];
    if (p.existing) {
        for (Node::Pending& add : p.pending)
            if (add.slot == n.slot) be16_put(add.bytes.data() + entry_field::SIZE, static_cast<std::uint16_t>(n.entries));
    } else if (p.f) {
        be16_put(folder_entry(*p.f, n.slot) + entry_field::SIZE, static_cast<std::uint16_t>(n.entries));
    } else {
        p.patches.emplace_back(n.slot, n.entries);
    }
}

FsErr TreeBatch::close(int h) {
    if (h < 0 || static_cast<std::size_t>(h) >= nodes_.size()) return FsErr::no_entry;
    Node& n = *nodes_[static_cast<std::size_t>(h)];
    if (n.existing || !n.f) return FsErr::ok;
    // Named by no entry yet, the folder is written whole, in any order.
    const FsErr e = folder_write_run(v_, *n.f);
    n.f.reset();
    open_.erase(std::find(open_.begin(), open_.end(), h));
    if (e != FsErr::ok) {
        if (broken_ == FsErr::ok) broken_ = e;
        return e;
    }
    count_to_parent(n);
    return FsErr::ok;
}

// Every new folder written with its count in its entry: the children
// before their parents (a child's handle is above its parent's), then the
// folders that got counts after they were written.
FsErr TreeBatch::close_all() {
    for (std::size_t h = nodes_.size(); h-- > 0;) {
        Node& n = *nodes_[h];
        if (n.existing) continue;
        const bool again = !n.f && !n.patches.empty();
        if (again && open(static_cast<int>(h)) != FsErr::ok) return broken_ = FsErr::read_error;
        if (close(static_cast<int>(h)) != FsErr::ok) return broken_;
    }
    return FsErr::ok;
}

// The existing folder of the batch that holds n, if any.
Folder* TreeBatch::parent_top(const Node& n) {
    if (folder_is_root(*n.f)) return nullptr;
    const std::uint64_t at = n.f->parent ? n.f->parent : entry_start(folder_entry(*n.f, 0));
    auto it = tops_.find(at);
    return it == tops_.end() ? nullptr : nodes_[static_cast<std::size_t>(it->second)]->f.get();
}

// The count of every existing folder raised by its new entries; a folder
// whose count cannot be raised gets none, and its chains are given back.
void TreeBatch::raise_counts() {
    for (std::size_t h = 0; h < nodes_.size(); ++h) {
        Node& n = *nodes_[h];
        if (!n.existing || n.pending.empty()) continue;
        bool raised = false;
        Folder* other = parent_top(n);
        const int added = static_cast<int>(n.pending.size());
        n.err = count_add(v_, *n.f, added, other, &raised);
        if (n.err == FsErr::ok) continue;
        if (raised) count_add(v_, *n.f, -added, other, &raised);
        give_back(static_cast<int>(h));
    }
}

// The new entries of the existing folder n, each block written once.
void TreeBatch::store_entries(Node& n) {
    const DirImage before = n.f->image;
    for (const Node::Pending& add : n.pending)
        std::memcpy(folder_entry(*n.f, add.slot), add.bytes.data(), DIR_ENTRY_SIZE);
    if (folder_write(v_, *n.f) == FsErr::ok) return;
    n.err = FsErr::write_error;
    n.f->image = before;
    // Nothing is given back until the folder is known to be without them.
    if (folder_write(v_, *n.f) != FsErr::ok || volume_barrier(v_) != 0) return;
    bool raised = false;
    count_add(v_, *n.f, -static_cast<int>(n.pending.size()), parent_top(n), &raised);
    give_back(n.top);
}

FsErr TreeBatch::commit() {
    if (done_) return FsErr::ok;
    FsErr e = v_.read_only ? FsErr::read_only : broken_;
    if (e == FsErr::ok) e = close_all();
    if (e == FsErr::ok) raise_counts();
    // Every chain, new folder and count is durable before any entry names them.
    if (e == FsErr::ok && fat_commit(v_) != 0) e = FsErr::fat_error;
    done_ = true;
    if (e != FsErr::ok) {
        // Nothing names the new chains: the counts come down, the chains go back.
        for (auto& n : nodes_) {
            if (!n->existing || n->err != FsErr::ok) continue;
            bool raised = false;
            if (e == FsErr::fat_error && !n->pending.empty())
                count_add(v_, *n->f, -static_cast<int>(n->pending.size()), parent_top(*n), &raised);
            n->err = e;
        }
        give_back(-1);
        fat_command_end(v_);
        return e;
    }
    for (auto& n : nodes_)
        if (n->existing && n->err == FsErr::ok && !n->pending.empty()) store_entries(*n);
    if (fat_command_end(v_) != 0) e = FsErr::fat_error;
    for (auto& n : nodes_)
        if (n->existing && n->err != FsErr::ok && e == FsErr::ok) e = n->err;
    return e;
}

FsErr TreeBatch::result(int h) const {
    if (h < 0 || static_cast<std::size_t>(h) >= nodes_.size()) return FsErr::no_entry;
    if (!done_) return FsErr::ok;
    return nodes_[static_cast<std::size_t>(nodes_[static_cast<std::size_t>(h)]->top)]->err;
}
