// Copies into a volume folder: each source placed (added, replacing a file,
// or merged into a folder of the same name), checked in a first pass that
// changes nothing, then made: the new entries of every folder in one batch
// of the volume layer (one barrier for a whole tree), replaced files each
// on its own.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "audio_in.h"
#include "rewrite.h"
#include "copy_src.h"
#include "fat.h"

namespace zvk {

namespace {

// A volume folder a copy goes into: on the volume already, or (in the
// passes that write nothing) still to be made.
struct VDst {
    Folder f;
    bool exists = false;
    std::string image;
    std::string vpath;
    std::uint64_t batches = 0;  // the batches committed when f was read
    std::string shown() const { return zvk::shown(image, vpath); }
};

enum class Act { add, replace, merge, failed };

// What becomes of one source in a volume folder.
struct Placed {
    const Src* s = nullptr;
    RawName raw{};
    Act act = Act::add;
    int slot = -1;  // the entry of that name there, or the one made
    std::uint8_t type = 0;
    std::uint64_t blocks = 0;
    std::string dest;  // its destination, for messages
};

// Host descriptors of one batch, closed when it is done.
struct Fds {
    std::vector<int> fds;
    Fds() = default;
    Fds(const Fds&) = delete;
    Fds& operator=(const Fds&) = delete;
    ~Fds() {
        for (int fd : fds) ::close(fd);
    }
};

bool dest_raw(Copy& c, const Src& s, RawName* raw) {
    std::string why;
    if (s.kind == Src::Kind::volume && s.as.empty() && !s.root) {
        std::memcpy(raw->data(), s.entry.data() + entry_field::NAME, NAME_LEN);
        return true;
    }
    const std::string name = !s.as.empty()           ? s.as
                             : c.opt.audio && !s.dir ? audio_entry_name(s.base)
                                                     : s.base;
    if (name_for_entry(name, raw, &why)) return true;
    c.error(s.shown, why + " (" + name + ")", 
            !name.empty() && name.find('/') == std::string::npos ? FsErr::name_too_long : FsErr::ok);
    return false;
}

std::uint8_t type_for(const Copy& c, const Src& s) {
    if (s.dir) return TYPE_SUBDIR;
    if (c.opt.type >= 0) return static_cast<std::uint8_t>(c.opt.type);
    if (s.kind == Src::Kind::volume) return s.type();
    if (c.opt.audio) return INSTRUMENT_TYPE;
    if (s.kind == Src::Kind::host && valid_file_type(host_type(s.host))) return static_cast<std::uint8_t>(host_type(s.host));
    return DEFAULT_FILE_TYPE;
}

// Blocks of the file the source becomes: 0 after reporting when it cannot.
std::uint64_t blocks_for(Copy& c, const Src& s) {
    if (c.opt.audio && s.kind == Src::Kind::host) {
        // Converted once to learn the size; the fill converts again.
        auto it = c.instrument_bytes.find(s.host);
        std::string why = "does not convert";
        const std::uint64_t bytes =
            it != c.instrument_bytes.end() ? it->second : audio_instrument_bytes(s.host, c.opt.mix, &why);
        if (bytes == 0) c.error(s.shown, why);
        if (it == c.instrument_bytes.end() && bytes) c.instrument_bytes.emplace(s.host, bytes);
        return (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
    }
    if (s.blocks() == 0) c.error(s.shown, "empty file (a volume file holds at least one block)");
    return s.blocks();
}

}  // namespace

std::string entries_needed(int added, int there) {
    return "needs " + std::to_string(added) + " new entries, " + std::to_string(static_cast<int>(MAX_ENTRY_NR) - there) +
           " are free (a folder holds 38)";
}

namespace {

std::string shown_name(const RawName& raw) { return display_name(name_display(raw.data())); }

// What to do where the name is taken: false when the source is left out.
bool clash(Copy& c, Placed& p, const VDst& d) {
    const bool there_folder = entry_type(folder_entry(d.f, p.slot)) == TYPE_SUBDIR;
    if (p.s->dir && there_folder) {
        p.act = Act::merge;
        return true;
    }
    if (c.opt.clash == Clash::skip) {
        ++c.out.skipped;
        c.say("skip " + p.dest + " (there already)");
        return false;
    }
    if (p.s->dir || there_folder) {
        c.problem(p.dest, p.s->dir ? "a file of that name is there" : "a folder of that name is there", FsErr::exists);
        return false;
    }
    if (c.opt.clash == Clash::stop) {
        c.problem(p.dest, "name already taken (-n skips, -f replaces)", FsErr::exists);
        return false;
    }
    p.act = Act::replace;
    return true;
}

// Place one source in d: false when it is left out (reported).
bool place(Copy& c, const Src& s, const VDst& d, const std::vector<Placed>& earlier, Placed* p) {
    if (s.special) return c.error(s.shown, "not a regular file or folder"), false;
    if (s.dir && !c.opt.recursive && s.kind != Src::Kind::group)
        return c.error(s.shown, "is a folder (cp -r copies folders)"), false;
    p->s = &s;
    if (!dest_raw(c, s, &p->raw)) return false;
    p->dest = shown(d.image, join_path(d.vpath, shown_name(p->raw)));
    if (s.kind != Src::Kind::volume)
        for (const Placed& e : earlier)
            if (e.raw == p->raw) return c.error(s.shown, "takes the same name as " + e.s->shown), false;
    p->type = type_for(c, s);
    if (!s.dir) {
        if ((p->blocks = blocks_for(c, s)) == 0) return false;
        if (p->blocks > MAX_FILE_BLOCKS)
            return c.problem(s.shown, std::to_string(p->blocks) + " blocks; a file holds at most 65,535", FsErr::too_big),
                   false;
    }
    p->slot = d.exists ? folder_find_raw(d.f, p->raw) : -1;
    return p->slot < 0 || clash(c, *p, d);
}

// The checks of the first pass: entries of the folder, blocks, totals.
void account(Copy& c, const std::vector<Placed>& placed, const VDst& d) {
    const int there = d.exists ? folder_used(d.f) : 0;
    int entries = there;
    for (const Placed& p : placed) {
        if (p.act == Act::add) ++entries;
        if (p.act == Act::add || p.act == Act::replace) c.blocks_needed += p.s->dir ? 2 : p.blocks;
        if (!p.s->dir && p.act != Act::merge) {
            ++c.progress.files_total;
            c.progress.bytes_total += p.blocks * BLOCK_SIZE;
        }
    }
    if (entries > static_cast<int>(MAX_ENTRY_NR))
        c.problem(d.shown(), entries_needed(entries - there, there), FsErr::bad_slot);
}

void say_plan(Copy& c, const std::vector<Placed>& placed) {
    for (const Placed& p : placed) {
        if (p.act == Act::add && p.s->dir) c.say("make folder " + p.dest);
        if (p.act == Act::add && !p.s->dir)
            c.say("copy " + p.s->shown + " -> " + p.dest + " (" + std::to_string(p.blocks) + " blocks)");
        if (p.act == Act::replace)
            c.say("replace " + p.dest + " with " + p.s->shown + " (" + std::to_string(p.blocks) + " blocks)");
    }
}

ChainFill counted(Copy& c, ChainFill f, std::uint64_t bytes) {
    return [&c, f, bytes](std::uint64_t start, std::uint64_t contiguous) {
        const int r = f(start, contiguous);
        if (r == 0) c.tick(bytes);
        return r;
    };
}

// The fill of the new chain of a file source: empty after reporting.
ChainFill source_fill(Copy& c, const Placed& p, Fds& fds) {
    const Src& s = *p.s;
    Volume& v = *c.dst;
    const std::uint64_t bytes = p.blocks * BLOCK_SIZE;
    if (c.opt.audio && s.kind == Src::Kind::host) {
        std::string name(reinterpret_cast<const char*>(p.raw.data()), NAME_LEN);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        return counted(c, audio_fill(v, s.host, c.opt.mix, p.blocks, name), bytes);
    }
    if (s.kind == Src::Kind::buffer) return counted(c, fill_from_buffer(v, s.data, s.bytes, p.blocks), bytes);
    if (s.kind == Src::Kind::volume)
        return counted(c, fill_from_chain(v, *s.vol, entry_start(s.entry.data()), entry_contiguous(s.entry.data()), p.blocks), bytes);
    const int fd = ::open(s.host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        c.error(s.shown, std::strerror(errno));
        return {};
    }
    fds.fds.push_back(fd);
    return counted(c, fill_from_host(v, fd, s.bytes, p.blocks), bytes);
}

// One file replaced by the source's data: a new chain, then the switch.
void replace_entry(Copy& c, Placed& p, VDst& d) {
    Fds fds;
    const ChainFill fill = source_fill(c, p, fds);
    if (!fill) return;
    Volume& v = *c.dst;
    std::uint64_t start = 0, contiguous = 1;
    FsErr e = fs_chain_new(v, p.blocks, fill, &start, &contiguous);
    // When the switch fails its new chain stays allocated: blocks lost at
    // worst, never a chain an entry might still name.
    // Every name of the file gets the new data, as a host file system gives it.
    if (e == FsErr::ok) e = fs_replace_linked(v, d.f, p.slot, start, p.blocks, contiguous, &p.slot);
    if (e == FsErr::ok && entry_type(folder_entry(d.f, p.slot)) != p.type) {
        std::array<std::uint8_t, DIR_ENTRY_SIZE> entry;
        std::memcpy(entry.data(), folder_entry(d.f, p.slot), DIR_ENTRY_SIZE);
        entry[entry_field::TYPE] = p.type;
        e = fs_update(v, d.f, p.slot, entry.data());
    }
    if (e != FsErr::ok) {
        c.error(p.dest, fs_strerror(e), e);
        return;
    }
    ++c.out.replaced;
    c.say(p.s->shown + " -> " + p.dest + " (replaced)");
}

// The writing pass keeps one batch open across folders; it is committed
// when it holds much, before a file is replaced, and at the end.
constexpr std::size_t BATCH_HELD = std::size_t{4} << 20;

void commit_batch(Copy& c) {
    if (!c.batch) return;
    c.batch->commit();
    for (const Copy::Made& m : c.made) {
        const FsErr e = c.batch->result(m.handle);
        if (e != FsErr::ok) {
            c.error(m.dest, fs_strerror(e), e);
            continue;
        }
        ++c.out.made;
        c.say(m.line);
    }
    c.made.clear();
    c.batch.reset();
    ++c.batches;
}

// d as the volume holds it now, when a batch was committed since it was read.
bool refresh(Copy& c, VDst& d) {
    if (d.batches == c.batches) return true;
    Folder again;
    const FsErr e = folder_is_root(d.f) ? folder_read_root(*c.dst, &again)
                                        : folder_read(*c.dst, d.f.start, d.f.parent, d.f.name, &again);
    if (e != FsErr::ok) return c.error(d.shown(), fs_strerror(e), e), false;
    d.f = again;
    d.batches = c.batches;
    return true;
}

// The handle of the existing folder d in the open batch, or -1.
int batch_handle(Copy& c, VDst& d) {
    if (c.batch && c.batch->held() > BATCH_HELD) commit_batch(c);
    if (!refresh(c, d)) return -1;
    if (!c.batch) c.batch = std::make_unique<TreeBatch>(*c.dst);
    return c.batch->existing(d.f);
}

// A new file in handle h of the batch, made when the batch is.
void add_file(Copy& c, int h, Placed& p) {
    Fds fds;
    const ChainFill fill = source_fill(c, p, fds);
    if (!fill) {
        p.act = Act::failed;
        return;
    }
    NewEntry n;
    n.name = p.raw;
    n.type = p.type;
    n.blocks = n.size = p.blocks;
    n.contiguous = 1;
    const FsErr e = c.batch->add(h, n, fill);
    if (e != FsErr::ok) {
        p.act = Act::failed;
        return c.error(e == FsErr::fill_failed ? p.s->shown : p.dest, fs_strerror(e), e);
    }
    c.made.push_back({h, p.dest, p.s->shown + " -> " + p.dest});
}

void add_folder(Copy& c, int h, Placed& p, const VDst& d, int depth);

// Everything under the folder source src into the new folder h of the batch.
void fill_folder(Copy& c, int h, const Src& src, const VDst& at, int depth) {
    if (!enter_source(c, src, depth)) return;
    std::vector<Src> kids;
    if (!children_of(c, src, &kids)) return;
    std::vector<Placed> placed;
    for (const Src& s : kids) {
        Placed p;
        if (place(c, s, at, placed, &p)) placed.push_back(p);
    }
    const bool on_volume = src.kind == Src::Kind::volume;
    if (on_volume) c.along.push_back(src.root ? ROOT_DIR_BLOCK : entry_start(src.entry.data()));
    for (Placed& p : placed) {
        if (p.s->dir) add_folder(c, h, p, at, depth + 1);
        else add_file(c, h, p);
    }
    if (on_volume) c.along.pop_back();
}

// A new folder in handle h of the batch, with all its source holds.
void add_folder(Copy& c, int h, Placed& p, const VDst& d, int depth) {
    FsErr e = FsErr::ok;
    const int child = c.batch->folder(h, p.raw, &e);
    if (child < 0) {
        p.act = Act::failed;
        return c.error(p.dest, fs_strerror(e), e);
    }
    c.made.push_back({child, p.dest, "made folder " + p.dest});
    VDst sub;
    sub.image = d.image;
    sub.vpath = join_path(d.vpath, shown_name(p.raw));
    fill_folder(c, child, *p.s, sub, depth);
    c.batch->close(child);
}

// The writing pass in the existing folder d: new entries into the batch,
// replaced files after committing it.
void write_folder(Copy& c, std::vector<Placed>& placed, VDst& d, int depth) {
    const int h = batch_handle(c, d);
    for (Placed& p : placed) {
        if (p.act != Act::add) continue;
        if (h < 0) p.act = Act::failed;
        else if (p.s->dir) add_folder(c, h, p, d, depth);
        else add_file(c, h, p);
    }
    if (std::none_of(placed.begin(), placed.end(), [](const Placed& p) { return p.act == Act::replace; })) return;
    commit_batch(c);
    if (!refresh(c, d)) return;
    for (Placed& p : placed)
        if (p.act == Act::replace) replace_entry(c, p, d);
}

void to_volume(Copy& c, const std::vector<Src>& items, VDst& d, int depth);

// Into the folder a placed folder source became (or merges with).
void descend(Copy& c, const Placed& p, const VDst& d, int depth) {
    if (p.act == Act::failed || !enter_source(c, *p.s, depth)) return;
    VDst child;
    child.image = d.image;
    child.vpath = join_path(d.vpath, shown_name(p.raw));
    if (d.exists && p.slot >= 0) {
        if (FsErr e = folder_child(*c.dst, d.f, p.slot, &child.f); e != FsErr::ok)
            return c.error(child.shown(), fs_strerror(e));
        child.exists = true;
        child.batches = c.batches;
    }
    std::vector<Src> kids;
    if (!children_of(c, *p.s, &kids)) return;
    const bool on_volume = p.s->kind == Src::Kind::volume;
    if (on_volume) c.along.push_back(p.s->root ? ROOT_DIR_BLOCK : entry_start(p.s->entry.data()));
    to_volume(c, kids, child, depth + 1);
    if (on_volume) c.along.pop_back();
}

void to_volume(Copy& c, const std::vector<Src>& items, VDst& d, int depth) {
    std::vector<Placed> placed;
    for (const Src& s : items) {
        Placed p;
        if (place(c, s, d, placed, &p)) placed.push_back(p);
    }
    if (c.mode == Mode::plan) account(c, placed, d);
    if (c.mode == Mode::dry) say_plan(c, placed);
    // The writing pass makes a new folder with all it holds at once, and
    // goes down only into the folders that are there already.
    if (c.mode == Mode::real) write_folder(c, placed, d, depth);
    for (const Placed& p : placed)
        if (p.s->dir && (c.mode != Mode::real || p.act == Act::merge)) descend(c, p, d, depth);
}

}  // namespace

void run_volume_copy(Copy& c, std::vector<Src>& items, const Location& dst) {
    Match at;
    if (!dest_volume(c, items, dst, &at)) return;
    VDst d;
    d.image = dst.image;
    d.vpath = at.path;
    d.exists = true;
    if (FsErr e = match_folder(*c.dst, at, &d.f); e != FsErr::ok) return c.error(d.shown(), fs_strerror(e));
    const Folder top = d.f;
    c.mode = Mode::plan;
    to_volume(c, items, d, 0);
    const std::uint32_t free = free_counter(*c.dst);
    if (c.blocks_needed > free)
        c.problem(shown(dst.image, "/"), "copy needs " + std::to_string(c.blocks_needed) + " blocks, " +
                                            std::to_string(free) + " are free",
                  FsErr::no_space);
    if (!c.problems.empty()) return;
    c.out.files = c.progress.files_total;
    c.out.bytes = c.progress.bytes_total;
    c.mode = c.opt.dry_run ? Mode::dry : Mode::real;
    d.f = top;
    to_volume(c, items, d, 0);
    if (c.mode != Mode::real) return;
    commit_batch(c);
    if (fat_command_end(*c.dst) != 0) c.error(shown(dst.image, "/"), fs_strerror(FsErr::fat_error));
    volume_sync(*c.dst);
}

}  // namespace zvk
