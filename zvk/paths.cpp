// Volume paths with wildcards, matched against the listed names.
#include <fnmatch.h>

#include <cstring>

#include "engine.h"

namespace zvk {

namespace {

// More matches than this are refused rather than held.
constexpr std::size_t MAX_MATCHES = 65536;

std::string join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

struct Expansion {
    Volume& v;
    const std::vector<std::string>& parts;
    std::vector<Match>* out;
    FsErr err = FsErr::no_entry;  // what to say when nothing matched
};

// The slots of f that component i names, with their shown names.
std::vector<std::pair<int, std::string>> candidates(const Folder& f, const std::string& comp, FsErr* err) {
    std::vector<std::pair<int, std::string>> found;
    const auto listed = folder_listing(f.image);
    if (has_wildcard(comp)) {
        for (const auto& [slot, name] : listed)
            if (fnmatch(comp.c_str(), display_name(name).c_str(), 0) == 0) found.emplace_back(slot, name);
        return found;
    }
    int slot = -1;
    const FsErr e = folder_lookup(f, comp, &slot);
    if (e != FsErr::ok) {
        if (e != FsErr::no_entry) *err = e;
        return found;
    }
    for (const auto& [s, name] : listed)
        if (s == slot) found.emplace_back(s, name);
    return found;
}

void add_match(Expansion& x, const Folder& f, int slot, const std::string& path) {
    Match m;
    m.path = path;
    m.folder = f.start;
    m.folder_parent = f.parent;
    m.folder_name = f.name;
    m.slot = slot;
    std::memcpy(m.entry.data(), folder_entry(f, slot), DIR_ENTRY_SIZE);
    x.out->push_back(m);
}

// Match components i.. below folder f (whose path is at).
FsErr step(Expansion& x, const Folder& f, const std::string& at, std::size_t i) {
    const std::string& comp = x.parts[i];
    const bool last = i + 1 == x.parts.size();
    for (const auto& [slot, name] : candidates(f, comp, &x.err)) {
        const std::string path = join(at, display_name(name));
        if (last) {
            if (x.out->size() >= MAX_MATCHES) return FsErr::no_memory;
            add_match(x, f, slot, path);
            continue;
        }
        Folder child;
        const FsErr e = folder_child(x.v, f, slot, &child);
        if (e == FsErr::not_folder) {
            if (!has_wildcard(comp)) x.err = FsErr::not_folder;
            continue;
        }
        if (e != FsErr::ok) return e;
        if (FsErr r = step(x, child, path, i + 1); r != FsErr::ok) return r;
    }
    return FsErr::ok;
}

}  // namespace

bool has_wildcard(std::string_view path) { return path.find_first_of("*?[") != std::string_view::npos; }

FsErr expand(Volume& v, std::string_view path, std::vector<Match>* out) {
    out->clear();
    const std::vector<std::string> parts = fs_path_parts(path);
    Folder root;
    if (FsErr e = folder_read_root(v, &root); e != FsErr::ok) return e;
    if (parts.empty()) {
        Match m;
        m.path = "/";
        m.root = true;
        m.folder = 0;
        m.slot = -1;
        out->push_back(m);
        return FsErr::ok;
    }
    Expansion x{v, parts, out};
    if (FsErr e = step(x, root, "/", 0); e != FsErr::ok) return e;
    return out->empty() ? x.err : FsErr::ok;
}

FsErr resolve(Volume& v, std::string_view path, Match* out) {
    Lookup l;
    if (FsErr e = fs_resolve(v, path, &l); e != FsErr::ok) return e;
    *out = Match{};
    if (l.root) {
        out->path = "/";
        out->root = true;
        out->folder = 0;
        return FsErr::ok;
    }
    if (l.slot < 0) return FsErr::no_entry;
    std::string at;
    for (const std::string& c : fs_path_parts(path)) at += "/" + c;
    out->path = at;
    out->folder = l.folder.start;
    out->folder_parent = l.folder.parent;
    out->folder_name = l.folder.name;
    out->slot = l.slot;
    std::memcpy(out->entry.data(), folder_entry(l.folder, l.slot), DIR_ENTRY_SIZE);
    return FsErr::ok;
}

FsErr match_folder(Volume& v, const Match& m, Folder* out) {
    if (m.root) return folder_read_root(v, out);
    if (m.type() != TYPE_SUBDIR) return FsErr::not_folder;
    RawName name;
    std::memcpy(name.data(), m.entry.data() + entry_field::NAME, NAME_LEN);
    return folder_read(v, m.start(), m.folder, name, out);
}

FsErr match_parent(Volume& v, const Match& m, Folder* out) {
    if (m.root) return FsErr::is_root;
    return folder_read(v, m.folder, m.folder_parent, m.folder_name, out);
}

}  // namespace zvk
