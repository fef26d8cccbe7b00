// The top level of a copy, by the rules of the command line: a source with
// a trailing '/' (and the root) gives its content; a destination that is a
// folder receives the sources; one that is missing is the new name of a
// single source, or (with a trailing '/', or for several sources) a new
// folder that receives them.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "copy_src.h"

namespace zvk {

namespace {

std::string base_of(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t cut = path.rfind('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string parent_of(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t cut = path.rfind('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

bool volume_item(Copy& c, const Location& l, Src* s) {
    Match m;
    if (FsErr e = resolve(*l.vol, l.path, &m); e != FsErr::ok) return c.error(shown(l.image, l.path), fs_strerror(e)), false;
    if (m.root) {
        s->kind = Src::Kind::volume;
        s->vol = l.vol;
        s->image = l.image;
        s->root = s->dir = s->contents = true;
        s->vpath.assign(1, '/');
        s->shown = shown(l.image, "/");
        s->entry[entry_field::TYPE] = TYPE_SUBDIR;
        return true;
    }
    Folder f;
    if (FsErr e = match_parent(*l.vol, m, &f); e != FsErr::ok) return c.error(shown(l.image, l.path), fs_strerror(e)), false;
    const std::size_t cut = m.path.rfind('/');
    for (const auto& [slot, listed] : folder_listing(f.image))
        if (slot == m.slot) *s = volume_src(*l.vol, f, slot, listed, cut == 0 ? "/" : m.path.substr(0, cut), l.image);
    s->contents = l.slash && s->dir;
    return true;
}

bool host_item(Copy& c, const Location& l, Src* s) {
    struct stat st;
    if (::stat(l.path.c_str(), &st) != 0) return c.error(l.path, std::strerror(errno)), false;
    const std::string base = base_of(l.path);
    *s = host_src(l.path, base);
    s->contents = s->dir && (l.slash || base == "." || base == ".." || base == "/");
    return true;
}

// The items that go into a folder: contents replaced by what they hold.
std::vector<Src> into_items(Copy& c, const std::vector<Src>& items) {
    std::vector<Src> out;
    for (const Src& s : items) {
        if (!s.contents) {
            out.push_back(s);
            continue;
        }
        if (!c.opt.recursive) {
            c.error(s.shown, "is a folder (cp -r copies folders)");
            continue;
        }
        std::vector<Src> kids;
        if (children_of(c, s, &kids)) out.insert(out.end(), kids.begin(), kids.end());
    }
    return out;
}

// Rewrite items for a destination that is missing: named name, inside
// the existing folder that holds it.
bool missing_dest(Copy& c, std::vector<Src>& items, const std::string& name, bool slash, const std::string& what) {
    if (items.size() == 1 && !slash) {
        items[0].as = name;
        items[0].contents = false;
        return true;
    }
    Src g;
    g.kind = Src::Kind::group;
    g.dir = true;
    g.as = name;
    g.shown = what;
    g.members = std::make_shared<std::vector<Src>>(into_items(c, items));
    items.assign(1, g);
    return true;
}

// Refuse a copy of a volume folder into itself or below itself.
bool not_into_itself(Copy& c, const std::vector<Src>& items, Volume* v, std::uint64_t folder) {
    for (const Src& s : items) {
        if (s.kind != Src::Kind::volume || s.vol != v || !s.dir) continue;
        bool within = false;
        const std::uint64_t start = s.root ? ROOT_DIR_BLOCK : entry_start(s.entry.data());
        if (folder_within(*v, start, folder, &within) == FsErr::ok && !within) continue;
        c.error(s.shown, "cannot copy a folder into itself");
        return false;
    }
    return true;
}

}  // namespace

bool source_items(Copy& c, const std::vector<Location>& sources, std::vector<Src>* out) {
    bool ok = true;
    for (const Location& l : sources) {
        Src s;
        if (l.data) {
            s.kind = Src::Kind::buffer;
            s.data = l.data;
            s.bytes = l.size;
            s.base = l.name;
            s.shown = l.name;
        } else if (!(l.vol ? volume_item(c, l, &s) : host_item(c, l, &s))) {
            ok = false;
            continue;
        }
        if (!l.name.empty()) s.as = l.name;
        out->push_back(std::move(s));
    }
    return ok;
}

bool dest_volume(Copy& c, std::vector<Src>& items, const Location& dst, Match* folder) {
    Volume& v = *dst.vol;
    const std::string what = shown(dst.image, dst.path);
    FsErr e = resolve(v, dst.path, folder);
    if (e == FsErr::ok && folder->is_folder()) {
        items = into_items(c, items);
        return not_into_itself(c, items, &v, folder->start());
    }
    if (e == FsErr::ok && (dst.slash || items.size() != 1 || items[0].dir))
        return c.error(what, fs_strerror(FsErr::not_folder)), false;
    if (e != FsErr::ok && e != FsErr::no_entry) return c.error(what, fs_strerror(e)), false;
    const std::string name = base_of(dst.path);
    if ((e = resolve(v, parent_of(dst.path), folder)) != FsErr::ok || !folder->is_folder())
        return c.error(what, fs_strerror(e == FsErr::ok ? FsErr::not_folder : e)), false;
    if (!missing_dest(c, items, name, dst.slash, what)) return false;
    return not_into_itself(c, items[0].kind == Src::Kind::group ? *items[0].members : items, &v, folder->start());
}

bool dest_host(Copy& c, std::vector<Src>& items, const Location& dst, std::string* folder) {
    struct stat st;
    if (::stat(dst.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *folder = dst.path;
        items = into_items(c, items);
        return true;
    }
    const bool exists = ::lstat(dst.path.c_str(), &st) == 0;
    if (exists && (dst.slash || items.size() != 1 || items[0].dir))
        return c.error(dst.path, fs_strerror(FsErr::not_folder)), false;
    if (!exists && errno != ENOENT) return c.error(dst.path, std::strerror(errno)), false;
    *folder = parent_of(dst.path);
    if (::stat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return c.error(dst.path, "its folder is not there"), false;
    return missing_dest(c, items, base_of(dst.path), dst.slash, dst.path);
}

FsErr folder_within(Volume& v, std::uint64_t outer, std::uint64_t inner, bool* within) {
    *within = false;
    std::uint64_t at = inner;
    // Up the parent links, at most as many steps as the volume has folders.
    for (std::uint64_t steps = 0; steps <= total_blocks(v) / 2 + 1; ++steps) {
        if (at == outer) {
            *within = true;
            return FsErr::ok;
        }
        if (at == ROOT_DIR_BLOCK) return FsErr::ok;
        Folder f;
        RawName none{};
        if (FsErr e = folder_read(v, at, 0, none, &f); e != FsErr::ok) return e;
        const std::uint8_t* link = folder_entry(f, 0);
        if (entry_type(link) != TYPE_PARENT) return FsErr::damaged;
        at = entry_start(link);
    }
    return FsErr::damaged;
}

CopyOutcome copy_tree(const std::vector<Location>& sources, const Location& dst, const CopyOptions& opt,
                      const Report& report) {
    Copy c(opt, report);
    c.mode = Mode::real;  // failures of the top level are reported at once
    c.dst = dst.vol;
    std::vector<Src> items;
    const bool sources_ok = source_items(c, sources, &items);
    bool host_to_host = !dst.vol;
    for (const Src& s : items) host_to_host = host_to_host && s.kind != Src::Kind::volume;
    if (host_to_host && !items.empty()) {
        c.error(dst.path, "both ends are on the host (cp copies there)");
        items.clear();
    }
    if (!items.empty()) {
        if (dst.vol) run_volume_copy(c, items, dst);
        else run_host_copy(c, items, dst);
    }
    for (const std::string& p : c.problems) {
        const std::size_t tab = p.find('\t');
        if (report.error) report.error(p.substr(0, tab), p.substr(tab + 1));
    }
    c.out.refused = !c.problems.empty();
    if (c.out.refused) c.out.err = c.problem_err;
    if (!sources_ok && c.out.failed == 0) c.out.failed = 1;
    return c.out;
}

}  // namespace zvk
