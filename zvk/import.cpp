// import: an archive into a volume folder. A first reading decides every
// entry (add, replace, merge into a folder there, leave out) and checks
// that everything fits; the second writes: each file's chain filled as its
// data streams in, the new folders and entries of the whole tree in one
// batch of the volume layer, committed at the end (or when it holds much).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "archive/archive.h"
#include "archive_io.h"
#include "audio_in.h"
#include "rewrite.h"
#include "tree.h"
#include "fat.h"

namespace zvk {

namespace {

enum class Decision : std::uint8_t { leave, add, replace, merge };

// A folder of the archive as the first reading sees it.
struct PlanFolder {
    bool exists = false;  // on the volume already
    Folder f;             // its image, when it exists
    int used = 0;         // entries taken: those there and the new ones
    int there = 0;        // those there before
    std::vector<RawName> names;  // names of its new entries
};

// A file imported whose chain a later link of the archive names.
struct Chain {
    std::uint64_t start = 0, contiguous = 0, blocks = 0;
    std::uint8_t type = 0;
};

struct Pending {
    RawName raw{};
    std::uint8_t type = 0;
    Chain chain;
    std::string dest;
};

// The batch is committed when it holds this much memory.
constexpr std::size_t BATCH_HELD = std::size_t{4} << 20;

struct Importer {
    Importer(Volume& vol, const CopyOptions& o, const Report& r) : v(vol), opt(o), rep(r) {}
    Volume& v;
    const CopyOptions& opt;
    const Report& rep;
    std::string image, archive, dest;  // dest: the volume path of the target folder
    bool real = false;                 // the writing pass
    std::map<std::string, PlanFolder> folders;
    std::vector<Decision> decisions;
    std::set<std::string> files_in, targets;  // files added, and those links name
    std::unordered_map<std::string, Chain> chains;
    std::uint64_t blocks_needed = 0;
    std::vector<std::string> problems;
    CopyOutcome out;
    Progress progress;
    // The writing pass: the batch the new entries go into, the handles of
    // its folders by key, and what each new entry says once it is made
    // (chain: the key of a file a later link names).
    std::unique_ptr<TreeBatch> batch;
    std::unordered_map<std::string, int> handles;
    struct Made {
        int handle;
        std::string dest, line, chain;
    };
    std::vector<Made> made;
    std::unordered_map<std::size_t, std::uint64_t> sizes;  // entries whose size only their data told
    std::set<std::string> made_live;                        // folders made by the writing pass

    std::string vpath(const std::string& key) const {
        std::string p = dest == "/" ? "" : dest;
        for (const std::string& c : fs_path_parts(key)) {
            // As the volume shows the name the component becomes.
            RawName raw;
            p += "/" + (name_encode(c.c_str(), raw) == 0 ? display_name(name_display(raw.data())) : c);
        }
        return p.empty() ? "/" : p;
    }
    std::string at(const std::string& key) const { return shown(image, vpath(key)); }
    void error(const std::string& path, const std::string& why) {
        ++out.failed;
        if (rep.error) rep.error(path, why);
    }
    void problem(const std::string& path, const std::string& why) {
        if (!real) problems.push_back(path + '\t' + why);
    }
    void say(const std::string& line) {
        if (rep.say && real && (opt.dry_run || opt.verbose)) rep.say(line);
    }

    PlanFolder* folder(const std::string& key, const std::string& apath);
    Decision plan_entry(const ArchiveEntry& e, std::uint64_t blocks);
    void write_entry(ArchiveReader& r, const ArchiveEntry& e, Decision d, std::size_t k);
    bool instrument_bytes(ArchiveReader& r, const ArchiveEntry& e, std::uint64_t* bytes);
    void write_file(ArchiveReader& r, const ArchiveEntry& e, Decision d, std::uint64_t bytes);
    FsErr replace_file(const ArchiveEntry& e, Pending& p, const ChainFill& fill);
    FsErr add_file(const ArchiveEntry& e, Pending& p, const ChainFill& fill, bool* left);
    bool live_folder(const std::string& key);
    int handle(const std::string& key);
    void flush();
    bool pass(const ArchiveOpen& open);
};

std::string parent_key(const std::string& key) {
    const std::size_t cut = key.rfind('/');
    return cut == std::string::npos ? "" : key.substr(0, cut);
}

std::string last_part(const std::string& key) {
    const std::size_t cut = key.rfind('/');
    return cut == std::string::npos ? key : key.substr(cut + 1);
}

// The plan of the folder at key (made when the archive needs it): null
// after reporting when a file of its name is in the way.
PlanFolder* Importer::folder(const std::string& key, const std::string& apath) {
    auto it = folders.find(key);
    if (it != folders.end()) return &it->second;
    PlanFolder* up = folder(parent_key(key), apath);
    if (!up) return nullptr;
    RawName raw;
    std::string why;
    if (!name_for_entry(last_part(key), &raw, &why)) return error(archive + ":" + apath, why + " (" + last_part(key) + ")"), nullptr;
    PlanFolder made;
    const int slot = up->exists ? folder_find_raw(up->f, raw) : -1;
    if (slot >= 0 && entry_type(folder_entry(up->f, slot)) != TYPE_SUBDIR) {
        // Left out with what it holds when clashes are skipped; else the import stops.
        if (opt.clash == Clash::skip) error(at(key), "a file of that name is there");
        else problem(at(key), "a file of that name is there");
        return nullptr;
    }
    if (slot >= 0) {
        if (FsErr e = folder_child(v, up->f, slot, &made.f); e != FsErr::ok) return error(at(key), fs_strerror(e)), nullptr;
        made.exists = true;
        made.used = made.there = folder_used(made.f);
    } else {
        ++up->used;
        up->names.push_back(raw);
        blocks_needed += 2;
    }
    return &folders.emplace(key, std::move(made)).first->second;
}

// The name an entry's last component gives: a sound file's without its
// extension when converting.
std::string entry_name(const CopyOptions& opt, const ArchiveEntry& e) {
    return opt.audio && e.kind == ArchiveKind::file ? audio_entry_name(last_part(e.path)) : last_part(e.path);
}

// The data of the current entry in a temporary file of the same extension
// (the converter reads files), removed with its owner.
struct Spooled {
    std::string path;
    ~Spooled() {
        if (!path.empty()) ::unlink(path.c_str());
    }
    bool fill(ArchiveReader& r, const std::string& name, std::string* why) {
        const char* dir = std::getenv("TMPDIR");
        const std::size_t dot = name.rfind('.');
        const std::string ext = dot == std::string::npos || name.size() - dot > 8 ? "" : name.substr(dot);
        path = std::string(dir && *dir ? dir : "/tmp") + "/zvk-audio-XXXXXX" + ext;
        const int fd = ::mkstemps(path.data(), static_cast<int>(ext.size()));
        if (fd < 0) return path.clear(), *why = std::strerror(errno), false;
        std::vector<std::uint8_t> buf(64 * 1024);
        bool ok = true;
        for (long got; ok && (got = r.read(buf.data(), buf.size())) != 0;)
            ok = got > 0 && ::write(fd, buf.data(), static_cast<std::size_t>(got)) == got;
        if (::close(fd) != 0 || !ok) return *why = "the archive's data could not be read", false;
        return true;
    }
};

std::uint8_t type_of(const CopyOptions& opt, const ArchiveEntry& e) {
    if (opt.type >= 0) return static_cast<std::uint8_t>(opt.type);
    if (e.type >= 1 && e.type <= 255 && e.type != TYPE_SUBDIR && e.type != TYPE_PARENT) return static_cast<std::uint8_t>(e.type);
    return opt.audio ? INSTRUMENT_TYPE : DEFAULT_FILE_TYPE;
}

// The first reading: what becomes of entry e (a file of blocks blocks).
Decision Importer::plan_entry(const ArchiveEntry& e, std::uint64_t blocks) {
    const std::string src = archive + ":" + e.path;
    if (e.kind == ArchiveKind::unsupported) return error(src, e.note.empty() ? "not a file or folder" : e.note), Decision::leave;
    PlanFolder* up = folder(parent_key(e.path), e.path);
    if (!up) return Decision::leave;
    if (e.kind == ArchiveKind::folder) return folder(e.path, e.path) ? Decision::merge : Decision::leave;
    RawName raw;
    std::string why;
    if (!name_for_entry(entry_name(opt, e), &raw, &why)) return error(src, why + " (" + entry_name(opt, e) + ")"), Decision::leave;
    for (const RawName& n : up->names)
        if (n == raw) return error(src, "a second entry of that name in the archive"), Decision::leave;
    if (e.kind == ArchiveKind::link && !files_in.count(e.target))
        return error(src, "links to " + e.target + ", which is not imported"), Decision::leave;
    if (e.kind == ArchiveKind::file && blocks == 0) return error(src, "empty file (a volume file holds at least one block)"), Decision::leave;
    if (blocks > MAX_FILE_BLOCKS) return problem(src, std::to_string(blocks) + " blocks; a file holds at most 65,535"), Decision::leave;
    const int slot = up->exists ? folder_find_raw(up->f, raw) : -1;
    const std::string there = at(e.path);
    Decision d = Decision::add;
    if (slot >= 0) {
        const bool is_folder = entry_type(folder_entry(up->f, slot)) == TYPE_SUBDIR;
        if (opt.clash == Clash::skip) return ++out.skipped, Decision::leave;
        if (is_folder || opt.clash == Clash::stop)
            return problem(there, is_folder ? "a folder of that name is there" : "name already taken (-n skips, -f replaces)"),
                   Decision::leave;
        d = Decision::replace;
    } else {
        ++up->used;
        up->names.push_back(raw);
    }
    if (e.kind == ArchiveKind::link) targets.insert(e.target);
    else blocks_needed += blocks, files_in.insert(e.path);
    ++progress.files_total;
    progress.bytes_total += blocks * BLOCK_SIZE;
    return d;
}

// Bytes of the entry when the archive does not say: its data counted.
std::uint64_t data_bytes(ArchiveReader& r, const ArchiveEntry& e) {
    if (e.size >= 0) return static_cast<std::uint64_t>(e.size);
    std::vector<std::uint8_t> buf(64 * 1024);
    std::uint64_t n = 0;
    for (long got; (got = r.read(buf.data(), buf.size())) > 0;) n += static_cast<std::uint64_t>(got);
    return n;
}

// The fill of a chain from the data of the current entry.
ChainFill archive_fill(Volume& v, ArchiveReader& r, std::uint64_t bytes, std::uint64_t blocks) {
    return [&v, &r, bytes, blocks](std::uint64_t start, std::uint64_t contiguous) {
        std::vector<BlockRun> runs;
        if (chain_map(v, start, contiguous, blocks, Direction::write, runs) < 0) return -1;
        std::vector<std::uint8_t> buf(128 * BLOCK_SIZE);
        std::uint64_t left = bytes;
        for (const BlockRun& run : runs)
            for (std::uint64_t done = 0; done < run.count;) {
                const std::uint64_t n = std::min<std::uint64_t>(128, run.count - done);
                std::size_t have = 0;
                const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, n * BLOCK_SIZE));
                while (have < want) {
                    const long got = r.read(buf.data() + have, want - have);
                    if (got <= 0) return -1;
                    have += static_cast<std::size_t>(got);
                }
                std::fill(buf.begin() + static_cast<std::ptrdiff_t>(have), buf.begin() + static_cast<std::ptrdiff_t>(n * BLOCK_SIZE), 0);
                if (blocks_write(v, buf.data(), run.first + done, n) != 0) return -1;
                left -= have;
                done += n;
            }
        return 0;
    };
}

// Commit the batch: each new entry made, or its failure said.
void Importer::flush() {
    if (!batch) return;
    batch->commit();
    for (const Made& m : made) {
        const FsErr e = batch->result(m.handle);
        if (e == FsErr::ok) {
            ++out.made;
            say(m.line);
            continue;
        }
        error(m.dest, fs_strerror(e));
        if (!m.chain.empty()) chains.erase(m.chain);
    }
    made.clear();
    handles.clear();
    batch.reset();
}

// The handle in the open batch of the folder at key: one there already
// (before the import, or made by an earlier batch) or one the batch makes;
// -1 after reporting (once).
int Importer::handle(const std::string& key) {
    if (auto it = handles.find(key); it != handles.end()) return it->second;
    if (!batch) batch = std::make_unique<TreeBatch>(v);
    const auto plan = folders.find(key);
    int h = -1;
    if (plan != folders.end() && (plan->second.exists || made_live.count(key))) {
        Folder f;
        const FsErr e = fs_open_folder(v, vpath(key), &f);
        if (e == FsErr::ok) h = batch->existing(f);
        else error(at(key), fs_strerror(e));
    } else if (plan != folders.end()) {
        const int up = handle(parent_key(key));
        RawName raw;
        std::string why;
        FsErr e = FsErr::ok;
        if (up >= 0 && name_for_entry(last_part(key), &raw, &why)) h = batch->folder(up, raw, &e);
        if (up >= 0 && h < 0) error(at(key), e == FsErr::ok ? why : fs_strerror(e));
        if (h >= 0) made_live.insert(key), made.push_back({h, at(key), "made folder " + at(key), ""});
    }
    handles.emplace(key, h);
    return h;
}

// Make the folder at key on the volume when the plan made it new.
bool Importer::live_folder(const std::string& key) {
    auto it = folders.find(key);
    if (it == folders.end() || it->second.exists || made_live.count(key)) return true;
    if (!key.empty() && !live_folder(parent_key(key))) return false;
    flush();
    const Result r = make_folders(v, vpath(key));
    if (!r.ok) return error(at(key), r.why), false;
    out.made += r.made;
    if (r.made) say("made folder " + at(key));
    made_live.insert(key);
    return true;
}

// A file over the one of its name, once the batch so far is made: a new
// chain, then the switch.
FsErr Importer::replace_file(const ArchiveEntry& e, Pending& p, const ChainFill& fill) {
    flush();
    Folder f;
    FsErr err = fs_open_folder(v, vpath(parent_key(e.path)), &f);
    int slot = err == FsErr::ok ? folder_find_raw(f, p.raw) : -1;
    if (err == FsErr::ok)
        err = slot < 0 ? FsErr::no_entry : fs_chain_new(v, p.chain.blocks, fill, &p.chain.start, &p.chain.contiguous);
    // When the switch fails the new chain stays allocated (blocks lost at worst).
    if (err == FsErr::ok) err = fs_replace_linked(v, f, slot, p.chain.start, p.chain.blocks, p.chain.contiguous, &slot);
    if (err == FsErr::ok && entry_type(folder_entry(f, slot)) != p.type) {
        std::array<std::uint8_t, DIR_ENTRY_SIZE> b;
        std::memcpy(b.data(), folder_entry(f, slot), DIR_ENTRY_SIZE);
        b[entry_field::TYPE] = p.type;
        err = fs_update(v, f, slot, b.data());
    }
    if (err == FsErr::ok) ++out.replaced, say(p.dest + " (replaced)");
    return err;
}

// A new file into the batch: ok, the failure, or *left when its folder
// could not be made (said already).
FsErr Importer::add_file(const ArchiveEntry& e, Pending& p, const ChainFill& fill, bool* left) {
    const int h = handle(parent_key(e.path));
    *left = h < 0;
    if (*left) return FsErr::ok;
    NewEntry n;
    n.name = p.raw;
    n.type = p.type;
    n.blocks = n.size = p.chain.blocks;
    n.contiguous = 1;
    const FsErr err = batch->add(h, n, fill);
    p.chain.start = n.first;
    p.chain.contiguous = n.contiguous;
    if (err == FsErr::ok) made.push_back({h, p.dest, p.dest, targets.count(e.path) ? e.path : ""});
    return err;
}

void Importer::write_file(ArchiveReader& r, const ArchiveEntry& e, Decision d, std::uint64_t bytes) {
    const std::uint64_t blocks = (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
    Pending p;
    name_for_entry(entry_name(opt, e), &p.raw, &p.dest);
    p.dest = at(parent_key(e.path)) + (parent_key(e.path).empty() && dest == "/" ? "" : "/") + display_name(name_display(p.raw.data()));
    p.type = type_of(opt, e);
    p.chain.blocks = blocks;
    p.chain.type = p.type;
    Spooled sound;
    std::string why;
    if (opt.audio && !sound.fill(r, last_part(e.path), &why)) return error(archive + ":" + e.path, why);
    std::string name(reinterpret_cast<const char*>(p.raw.data()), NAME_LEN);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    const ChainFill fill = opt.audio ? audio_fill(v, sound.path, opt.mix, blocks, name) : archive_fill(v, r, bytes, blocks);
    bool left = false;
    const FsErr err = d == Decision::replace ? replace_file(e, p, fill) : add_file(e, p, fill, &left);
    if (left) return;
    if (err != FsErr::ok) return error(err == FsErr::fill_failed ? archive + ":" + e.path : p.dest, fs_strerror(err));
    if (targets.count(e.path)) chains[e.path] = p.chain;
    ++progress.files_done;
    progress.bytes_done += bytes;
    if (rep.progress) rep.progress(progress);
}

// Bytes of the instrument a sound file of the archive becomes: false
// after reporting when it does not convert.
bool Importer::instrument_bytes(ArchiveReader& r, const ArchiveEntry& e, std::uint64_t* bytes) {
    Spooled sound;
    std::string why;
    if (!sound.fill(r, last_part(e.path), &why)) return error(archive + ":" + e.path, why), false;
    *bytes = audio_instrument_bytes(sound.path, opt.mix, &why);
    if (*bytes == 0) return error(archive + ":" + e.path, why), false;
    return true;
}

// The writing pass (or, for a dry run, the saying) of entry k.
void Importer::write_entry(ArchiveReader& r, const ArchiveEntry& e, Decision d, std::size_t k) {
    if (d == Decision::leave) return;
    const std::string up = e.kind == ArchiveKind::folder ? e.path : parent_key(e.path);
    if (opt.dry_run) {
        if (e.kind == ArchiveKind::folder && !folders[e.path].exists) say("make folder " + at(e.path));
        if (e.kind == ArchiveKind::file)
            say((d == Decision::replace ? "replace " : "copy ") + archive + ":" + e.path + " -> " + at(e.path));
        if (e.kind == ArchiveKind::link) say("link " + at(e.path) + " -> " + at(e.target));
        return;
    }
    if (batch && batch->held() > BATCH_HELD) flush();
    // A folder is made when the archive names it, empty or not.
    if (handle(up) < 0 || e.kind == ArchiveKind::folder) return;
    if (e.kind == ArchiveKind::file) {
        auto it = sizes.find(k);
        return write_file(r, e, d, it != sizes.end() ? it->second : static_cast<std::uint64_t>(e.size));
    }
    auto c = chains.find(e.target);
    if (c == chains.end()) return error(archive + ":" + e.path, "its target " + e.target + " was not imported");
    NewEntry n;
    std::string why;
    name_for_entry(last_part(e.path), &n.name, &why);
    n.type = e.type > 0 || opt.type >= 0 ? type_of(opt, e) : c->second.type;
    n.blocks = n.size = c->second.blocks;
    n.contiguous = c->second.contiguous;
    n.first = c->second.start;
    const int h = handle(up);
    if (const FsErr err = batch->add(h, n, {}); err != FsErr::ok) return error(at(e.path), fs_strerror(err));
    made.push_back({h, at(e.path), at(e.path), ""});
}

// One reading of the archive: the plan, or the writing.
bool Importer::pass(const ArchiveOpen& open) {
    ArchiveReader r;
    std::string why;
    if (!open(r, &why)) return error(archive, why), false;
    for (std::size_t k = 0;; ++k) {
        ArchiveEntry e;
        const ArchiveNext n = r.next(&e);
        if (n == ArchiveNext::end) break;
        if (n == ArchiveNext::failed) return error(archive, r.error()), false;
        if (n == ArchiveNext::refused) {
            if (!real) error(archive, r.error());
            if (!real) decisions.push_back(Decision::leave);
            continue;
        }
        if (real) {
            write_entry(r, e, k < decisions.size() ? decisions[k] : Decision::leave, k);
            continue;
        }
        std::uint64_t bytes = 0;
        if (e.kind == ArchiveKind::file && !opt.audio) bytes = data_bytes(r, e);
        if (e.kind == ArchiveKind::file && opt.audio && !instrument_bytes(r, e, &bytes)) {
            decisions.push_back(Decision::leave);
            continue;
        }
        if ((e.size < 0 || opt.audio) && e.kind == ArchiveKind::file) sizes[k] = bytes;
        decisions.push_back(plan_entry(e, (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE));
    }
    if (real) flush();
    return true;
}

// The target folder in the plan: there already, or made (its parent must be).
bool plan_target(Importer& x, std::string_view folder) {
    PlanFolder top;
    if (fs_open_folder(x.v, folder, &top.f) == FsErr::ok) {
        top.exists = true;
        top.used = top.there = folder_used(top.f);
        x.folders.emplace("", std::move(top));
        return true;
    }
    std::string path(folder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t cut = path.rfind('/');
    Folder up;
    RawName raw;
    std::string why;
    if (cut == std::string::npos || fs_open_folder(x.v, cut == 0 ? "/" : path.substr(0, cut), &up) != FsErr::ok)
        return x.error(shown(x.image, folder), fs_strerror(FsErr::no_entry)), false;
    if (!name_for_entry(path.substr(cut + 1), &raw, &why)) return x.error(shown(x.image, folder), why), false;
    if (folder_find_raw(up, raw) >= 0) return x.error(shown(x.image, folder), fs_strerror(FsErr::not_folder)), false;
    if (folder_used(up) >= static_cast<int>(MAX_ENTRY_NR))
        x.problem(shown(x.image, path.substr(0, cut)), entries_needed(1, folder_used(up)));
    x.blocks_needed += 2;
    x.folders.emplace("", std::move(top));
    return true;
}

// The refusals of the plan: folders too full, blocks short.
void plan_checks(Importer& x) {
    for (const auto& [key, f] : x.folders)
        if (f.used > static_cast<int>(MAX_ENTRY_NR))
            x.problem(x.at(key), entries_needed(f.used - f.there, f.there));
    const std::uint32_t free = free_counter(x.v);
    if (x.blocks_needed > free)
        x.problem(shown(x.image, "/"), "import needs " + std::to_string(x.blocks_needed) + " blocks, " +
                                           std::to_string(free) + " are free");
}

}  // namespace

CopyOutcome import_walk(Volume& v, const std::string& image, const ArchiveOpen& open, std::string_view folder,
                        const CopyOptions& opt, const Report& report, const std::string& archive_name) {
    Importer x(v, opt, report);
    x.image = image;
    x.archive = archive_name;
    x.dest = folder.empty() ? "/" : std::string(folder);
    if (!plan_target(x, x.dest) || !x.pass(open)) return x.out;
    plan_checks(x);
    for (const std::string& p : x.problems) {
        const std::size_t tab = p.find('\t');
        if (report.error) report.error(p.substr(0, tab), p.substr(tab + 1));
    }
    x.out.refused = !x.problems.empty();
    x.out.files = x.progress.files_total;
    x.out.bytes = x.progress.bytes_total;
    if (x.out.refused) return x.out;
    x.real = true;
    x.progress.files_done = x.progress.bytes_done = 0;
    if (!opt.dry_run && !x.folders[""].exists && !x.live_folder("")) return x.out;
    x.pass(open);
    if (!opt.dry_run) {
        if (fat_command_end(v) != 0) x.error(shown(image, "/"), fs_strerror(FsErr::fat_error));
        volume_sync(v);
    }
    return x.out;
}

Result import_tree(Volume& v, const ArchiveOpen& open, std::string_view folder, const PutOptions& opt,
                   const ProgressFn& progress) {
    Result res;
    result_outcome(res, import_walk(v, "", open, folder, copy_options(opt), result_report(res, progress), "archive"));
    return res;
}

}  // namespace zvk
