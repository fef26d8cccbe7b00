// TEMPORARY: a stand-in for the part of zvk/transfer.h the server uses,
// until the zvk branch brings the real one (this file then goes). Built
// only while zvk/ has no CMakeLists.txt.
#include <cstring>
#include <deque>
#include <unordered_map>

#include "archive/archive.h"
#include "transfer.h"

namespace zvk {

namespace {

Result fail(FsErr e, std::string_view path, std::string why = {}) {
    Result r;
    r.ok = false;
    r.err = e;
    r.path = std::string(path);
    r.why = why.empty() ? fs_strerror(e) : why;
    return r;
}

std::string join(std::string_view a, std::string_view b) {
    std::string s(a);
    if (s.empty() || s.back() != '/') s += '/';
    return s + std::string(b);
}

}  // namespace

bool audio_available() { return false; }
bool archive_available() { return true; }

std::string type_label(std::uint8_t type) {
    if (type == TYPE_SUBDIR) return "folder";
    std::string t = type_display_name(type);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    std::size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    return t.substr(i);
}

Result list_folder(Volume& v, std::string_view path, std::vector<Row>* rows) {
    Folder f;
    if (FsErr e = fs_open_folder(v, path, &f); e != FsErr::ok) return fail(e, path);
    std::unordered_map<std::uint32_t, std::uint32_t> links;
    fs_walk(v, [&links](const Folder& g, const std::vector<int>&) {
        for (int i = 1; i <= static_cast<int>(MAX_ENTRY_NR); ++i) {
            const std::uint8_t* e = folder_entry(g, i);
            if (entry_type(e) != TYPE_EMPTY && entry_type(e) != TYPE_PARENT) ++links[entry_start(e)];
        }
        return true;
    });
    for (const auto& [slot, name] : folder_listing(f.image)) {
        const std::uint8_t* e = folder_entry(f, slot);
        Row r;
        r.path = join(path, name);
        r.name = name;
        r.slot = slot;
        r.type = entry_type(e);
        r.type_name = type_label(entry_type(e));
        r.folder = entry_type(e) == TYPE_SUBDIR;
        r.blocks = r.folder ? 2 : entry_size(e);
        r.entries = r.folder ? entry_size(e) : 0;
        r.first = entry_start(e);
        r.contiguous = entry_contiguous(e);
        r.links = links[entry_start(e)];
        rows->push_back(r);
    }
    return {};
}

Result make_folders(Volume& v, std::string_view path) {
    Folder f;
    if (FsErr e = folder_read_root(v, &f); e != FsErr::ok) return fail(e, "/");
    std::string at = "/";
    std::size_t i = 0;
    Result res;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        const std::string_view part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty()) continue;
        at = join(at, part);
        int slot = -1;
        FsErr e = folder_lookup(f, part, &slot);
        if (e == FsErr::no_entry) {
            RawName raw;
            if (name_encode(std::string(part).c_str(), raw) != 0) return fail(FsErr::name_too_long, at);
            slot = folder_free_slot(f);
            if (slot < 0) return fail(FsErr::bad_slot, at);
            if ((e = fs_make_folder(v, f, slot, raw)) != FsErr::ok) return fail(e, at);
            ++res.made;
        } else if (e != FsErr::ok) {
            return fail(e, at);
        }
        Folder child;
        if ((e = folder_child(v, f, slot, &child)) != FsErr::ok) return fail(e, at);
        f = child;
    }
    return res;
}

Result put_buffer(Volume& v, std::string_view folder, std::string_view name, const std::uint8_t* data,
                  std::size_t size, const PutOptions& opt) {
    const std::string at = join(folder, name);
    Folder f;
    if (FsErr e = fs_open_folder(v, folder, &f); e != FsErr::ok) return fail(e, folder);
    NewEntry n;
    if (name_encode(std::string(name).c_str(), n.name) != 0) return fail(FsErr::name_too_long, at);
    n.type = opt.type > 0 ? static_cast<std::uint8_t>(opt.type) : DEFAULT_FILE_TYPE;
    n.blocks = (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    n.size = n.blocks;
    n.contiguous = 1;
    if (n.blocks == 0) return fail(FsErr::zero_length, at);
    if (n.blocks > MAX_FILE_BLOCKS) return fail(FsErr::too_big, at);
    const int old = folder_find_raw(f, n.name);
    if (old >= 0 && opt.clash != Clash::replace) return fail(FsErr::exists, at);
    if (n.blocks > free_counter(v))
        return fail(FsErr::no_space, at,
                    "needs " + std::to_string(n.blocks) + " blocks, " + std::to_string(free_counter(v)) + " free");
    Result res;
    if (old >= 0) {
        if (entry_type(folder_entry(f, old)) == TYPE_SUBDIR) return fail(FsErr::is_folder, at);
        std::uint64_t start = 0, contig = 1;
        if (FsErr e = fs_chain_new(v, n.blocks, fill_from_buffer(v, data, size, n.blocks), &start, &contig);
            e != FsErr::ok)
            return fail(e, at);
        if (FsErr e = fs_replace(v, f, old, start, n.blocks, contig, Release::chain_unshared); e != FsErr::ok) {
            fs_chain_free(v, start, n.blocks);
            return fail(e, at);
        }
        res.replaced = 1;
        return res;
    }
    const int slot = folder_free_slot(f);
    if (slot < 0) return fail(FsErr::bad_slot, at);
    if (FsErr e = fs_create(v, f, slot, n, fill_from_buffer(v, data, size, n.blocks)); e != FsErr::ok)
        return fail(e, at);
    res.made = 1;
    return res;
}

Result export_tree(Volume& v, std::string_view path, ArchiveWriter& w, bool include_top, const ProgressFn&) {
    Folder top;
    if (FsErr e = fs_open_folder(v, path, &top); e != FsErr::ok) return fail(e, path);
    std::string lead;
    if (include_top) {
        std::string_view p = path;
        while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
        lead = std::string(p.substr(p.rfind('/') + 1));
        if (w.add_folder(lead, 0) != 0) return fail(FsErr::write_error, path, w.error());
    }
    std::deque<std::pair<Folder, std::string>> queue{{top, lead}};
    std::vector<std::uint8_t> buf;
    while (!queue.empty()) {
        auto [f, rel] = queue.front();
        queue.pop_front();
        for (const auto& [slot, name] : folder_listing(f.image)) {
            const std::uint8_t* e = folder_entry(f, slot);
            const std::string p = rel.empty() ? name : rel + "/" + name;
            if (entry_type(e) == TYPE_SUBDIR) {
                Folder child;
                if (folder_child(v, f, slot, &child) != FsErr::ok) continue;
                if (w.add_folder(p, 0) != 0) return fail(FsErr::write_error, p, w.error());
                queue.emplace_back(child, p);
                continue;
            }
            buf.resize(std::size_t{entry_size(e)} * BLOCK_SIZE);
            if (!buf.empty() && chain_transfer(v, buf.data(), entry_start(e), entry_contiguous(e), entry_size(e),
                                               Direction::read) < 0)
                return fail(FsErr::read_error, p);
            std::size_t off = 0;
            const int r = w.add_file(p, entry_type(e), buf.size(), [&](std::uint8_t* out, std::size_t n) {
                const std::size_t m = std::min(n, buf.size() - off);
                std::memcpy(out, buf.data() + off, m);
                off += m;
                return static_cast<long>(m);
            });
            if (r != 0) return fail(FsErr::write_error, p, w.error());
        }
    }
    return {};
}

}  // namespace zvk
