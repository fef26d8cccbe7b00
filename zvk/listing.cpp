// Rows of listings, the JSON of a row, the links of chains, and the depth
// first walk of a folder tree.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "engine.h"

namespace zvk {

namespace {

}  // namespace

void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            // Bytes beyond ASCII are read as Latin-1, so any name is valid JSON.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    out += '"';
}

std::string json_quote(std::string_view s) {
    std::string out;
    json_string(out, s);
    return out;
}

namespace {

void json_number(std::string& out, const char* key, std::uint64_t n) {
    out += ",\"";
    out += key;
    out += "\":";
    out += std::to_string(n);
}

std::string child_path(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

struct Walker {
    Volume& v;
    const TreeVisit& visit;
    const std::function<void(const std::string&, FsErr)>& failed;
    Walker(Volume& vol, const TreeVisit& vis, const std::function<void(const std::string&, FsErr)>& fail_fn)
        : v(vol), visit(vis), failed(fail_fn) {}
    std::vector<std::uint64_t> along;  // first blocks of the folders on the current path
    std::unordered_set<std::uint64_t>* once = nullptr;
    std::uint64_t visits = 0;
    FsErr first = FsErr::ok;
    bool stopped = false;

    void fail(const std::string& path, FsErr e) {
        if (first == FsErr::ok) first = e;
        if (failed) failed(path, e);
    }

    void enter(const Folder& f, const std::string& path, int depth) {
        if (stopped) return;
        // A volume holds at most total / 2 folders; more visits loop through links.
        if (++visits > total_blocks(v)) {
            fail(path, FsErr::damaged);
            stopped = true;
            return;
        }
        if (!visit(f, path, depth)) {
            stopped = true;
            return;
        }
        along.push_back(f.start);
        for (const auto& [slot, name] : folder_listing(f.image)) {
            if (stopped) break;
            const std::uint8_t* e = folder_entry(f, slot);
            if (entry_type(e) != TYPE_SUBDIR) continue;
            const std::string p = child_path(path, display_name(name));
            const std::uint64_t start = entry_start(e);
            if (std::find(along.begin(), along.end(), start) != along.end()) continue;
            if (once && !once->insert(start).second) continue;
            if (depth + 1 > MAX_DEPTH) {
                fail(p, FsErr::damaged);
                continue;
            }
            Folder child;
            if (FsErr r = folder_child(v, f, slot, &child); r != FsErr::ok) {
                fail(p, r);
                continue;
            }
            enter(child, p, depth + 1);
        }
        along.pop_back();
    }
};

}  // namespace

FsErr walk_tree(Volume& v, const Folder& top, const std::string& top_path, const TreeVisit& visit,
                const std::function<void(const std::string& path, FsErr e)>& failed) {
    Walker w(v, visit, failed);
    w.enter(top, top_path, 0);
    return w.first;
}

FsErr link_census(Volume& v, const std::vector<std::uint64_t>& wanted,
                  std::vector<std::pair<std::uint64_t, std::uint32_t>>* counts) {
    std::unordered_map<std::uint64_t, std::uint32_t> n;
    std::vector<std::uint64_t> sorted = wanted;
    std::sort(sorted.begin(), sorted.end());
    const TreeVisit count = [&](const Folder& f, const std::string&, int) {
        for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
            const std::uint8_t* e = dir_entry(f.image, i);
            if (entry_type(e) == TYPE_EMPTY || entry_type(e) == TYPE_PARENT) continue;
            const std::uint64_t s = entry_start(e);
            if (sorted.empty() || std::binary_search(sorted.begin(), sorted.end(), s)) ++n[s];
        }
        return true;
    };
    Folder root;
    if (FsErr e = folder_read_root(v, &root); e != FsErr::ok) return e;
    std::unordered_set<std::uint64_t> once{ROOT_DIR_BLOCK};
    const std::function<void(const std::string&, FsErr)> none;
    Walker w(v, count, none);
    w.once = &once;
    w.enter(root, "/", 0);
    counts->assign(n.begin(), n.end());
    std::sort(counts->begin(), counts->end());
    return w.first;
}

Row make_row(const Folder& f, int slot, const std::string& name, const std::string& folder_path) {
    const std::uint8_t* e = folder_entry(f, slot);
    Row r;
    r.name = display_name(name);
    r.path = child_path(folder_path, r.name);
    r.slot = slot;
    r.type = entry_type(e);
    r.type_name = type_label(entry_type(e));
    r.folder = entry_type(e) == TYPE_SUBDIR;
    r.blocks = r.folder ? 2 : entry_size(e);
    r.entries = r.folder ? entry_size(e) : 0;
    r.first = entry_start(e);
    r.contiguous = entry_contiguous(e);
    return r;
}

std::string row_json(const Row& r) {
    std::string out = "{\"path\":";
    json_string(out, r.path);
    out += ",\"name\":";
    json_string(out, r.name);
    json_number(out, "slot", static_cast<std::uint64_t>(r.slot));
    json_number(out, "type", static_cast<std::uint64_t>(r.type));
    out += ",\"type_name\":";
    json_string(out, r.type_name);
    out += r.folder ? ",\"folder\":true" : ",\"folder\":false";
    json_number(out, "blocks", r.blocks);
    json_number(out, "entries", r.entries);
    json_number(out, "first", r.first);
    json_number(out, "contiguous", r.contiguous);
    json_number(out, "links", r.links);
    out += '}';
    return out;
}

Result list_folder(Volume& v, std::string_view path, std::vector<Row>* rows) {
    Result res;
    res.path = std::string(path);
    rows->clear();
    std::vector<Match> m(1);
    auto fail = [&res](FsErr e) {
        res.ok = false;
        res.err = e;
        res.why = fs_strerror(e);
        return res;
    };
    if (FsErr e = resolve(v, path.empty() ? "/" : path, &m[0]); e != FsErr::ok) return fail(e);
    Folder f;
    if (m[0].is_folder()) {
        if (FsErr e = match_folder(v, m[0], &f); e != FsErr::ok) return fail(e);
        for (const auto& [slot, name] : folder_listing(f.image)) rows->push_back(make_row(f, slot, name, m[0].path));
    } else {
        if (FsErr e = match_parent(v, m[0], &f); e != FsErr::ok) return fail(e);
        const std::size_t cut = m[0].path.rfind('/');
        const std::string parent = cut == 0 ? "/" : m[0].path.substr(0, cut);
        for (const auto& [slot, name] : folder_listing(f.image))
            if (slot == m[0].slot) rows->push_back(make_row(f, slot, name, parent));
    }
    std::vector<std::uint64_t> starts;
    for (const Row& r : *rows) starts.push_back(r.first);
    std::vector<std::pair<std::uint64_t, std::uint32_t>> counts;
    if (!starts.empty()) link_census(v, starts, &counts);
    for (Row& r : *rows) {
        auto it = std::lower_bound(counts.begin(), counts.end(), std::make_pair(r.first, std::uint32_t{0}));
        r.links = it != counts.end() && it->first == r.first ? it->second : 1;
    }
    return res;
}

}  // namespace zvk
