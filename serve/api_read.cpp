// The requests that only read: the volumes, a folder's entries, the tree
// of folders and a file's bytes.
#include <cstring>
#include <deque>
#include <unordered_set>

#include "api.h"
#include "audio_in.h"
#include "transfer.h"
#include "paths.h"

std::string json_text(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

Reply reply_error(int status, const std::string& message, const std::string& code) {
    Reply r;
    r.status = status;
    r.body = {{"error", message}, {"code", code}};
    return r;
}

namespace {

struct ErrInfo {
    int status;
    const char* code;
};

ErrInfo err_info(FsErr e) {
    switch (e) {
    case FsErr::read_only: return {409, "read_only"};
    case FsErr::bad_slot: return {409, "folder_full"};
    case FsErr::no_entry: return {404, "no_entry"};
    case FsErr::not_folder: return {400, "not_folder"};
    case FsErr::is_folder: return {400, "is_folder"};
    case FsErr::exists: return {409, "exists"};
    case FsErr::not_empty: return {409, "not_empty"};
    case FsErr::name_too_long: return {400, "name_too_long"};
    case FsErr::zero_length: return {400, "zero_length"};
    case FsErr::too_big: return {413, "too_big"};
    case FsErr::no_space: return {507, "no_space"};
    case FsErr::bad_type: return {400, "bad_type"};
    case FsErr::into_itself: return {400, "into_itself"};
    case FsErr::is_root: return {400, "is_root"};
    case FsErr::no_memory: return {500, "no_memory"};
    default: return {500, "io"};
    }
}

// A type's display name without the spaces that align it in a listing.
std::string trimmed(const char* s) {
    std::string t;
    for (const char* p = s; *p; ++p)
        if (*p != ' ' || (!t.empty() && t.back() != ' ')) t += *p;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

std::string label_of(const Volume& v) {
    std::string label(reinterpret_cast<const char*>(v.devid.data() + devid::LABEL), LABEL_LEN);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    return web_name(label);
}

}  // namespace

Reply reply_fs(FsErr e, const std::string& what) {
    const ErrInfo i = err_info(e);
    return reply_error(i.status, what + ": " + fs_strerror(e), i.code);
}

namespace {

// Whether uploads can be converted now (the template may be installed while
// the server runs), and why not.
Json convert_state() {
    std::string why;
    if (!zvk::audio_available()) why = "this zvk was built without the audio conversion (libsndfile)";
    else if (std::string problem = zvk::audio_template_problem(); !problem.empty())
        why = "no instrument template (" + problem + ")";
    return {{"available", why.empty()}, {"why", why}};
}

}  // namespace

Json api_volumes(App& app) {
    Json vols = Json::array();
    for (std::size_t i = 0; i < app.volumes.size(); ++i) {
        Served& s = *app.volumes[i];
        std::string why;
        served_writable(s, &why);
        std::shared_lock<std::shared_mutex> hold(s.access);
        std::shared_lock<std::shared_mutex> quiet(app.console_lock);
        Volume r;
        const bool ok = reader_open(s, r);
        const std::uint32_t total = ok ? total_blocks(r) : 0;
        vols.push_back({{"id", i},
                        {"image", web_name(s.name)},
                        {"label", ok ? label_of(r) : ""},
                        {"total", total},
                        {"free", ok ? free_counter(r) : 0},
                        {"data_start", ok ? data_start(total) : 0},
                        {"read_only", !why.empty()},
                        {"why", why}});
    }
    Json types = Json::array();
    for (const auto& row : FILE_TYPES)
        if (row.id != TYPE_SUBDIR && row.id != TYPE_PARENT && row.id >= 0)
            types.push_back({{"id", row.id}, {"name", trimmed(row.name)}});
    return {{"volumes", vols},
            {"types", types},
            {"max_file_blocks", MAX_FILE_BLOCKS},
            {"folder_entries", MAX_ENTRY_NR},
            {"convert", convert_state()}};
}

namespace {

// Nested folders from the root, breadth first, at most limit of them; a
// folder reached twice is listed once.
Json folder_tree(Volume& r, std::size_t limit) {
    struct Node {
        Folder f;
        std::string path;
        Json* json = nullptr;
    };
    Json root = {{"name", "/"}, {"path", "/"}, {"folders", Json::array()}};
    std::deque<Node> queue(1);
    if (folder_read_root(r, &queue.front().f) != FsErr::ok) return root;
    queue.front().path.push_back('/');
    queue.front().json = &root;
    std::unordered_set<std::uint64_t> seen{ROOT_DIR_BLOCK};
    while (!queue.empty() && seen.size() < limit) {
        Node n = std::move(queue.front());
        queue.pop_front();
        Json& kids = (*n.json)["folders"];
        std::vector<Node> found;
        for (const auto& [slot, name] : folder_listing(n.f.image)) {
            const std::uint8_t* e = folder_entry(n.f, slot);
            if (entry_type(e) != TYPE_SUBDIR || !seen.insert(entry_start(e)).second) continue;
            Node child;
            if (folder_child(r, n.f, slot, &child.f) != FsErr::ok) continue;
            child.path = path_join(n.path, web_name(name));
            kids.push_back({{"name", web_name(name)}, {"path", child.path}, {"folders", Json::array()}});
            found.push_back(std::move(child));
        }
        // The array is complete: its elements stay where they are now.
        for (std::size_t i = 0; i < found.size(); ++i) {
            found[i].json = &kids[i];
            queue.push_back(std::move(found[i]));
        }
    }
    return root;
}

}  // namespace

Reply api_tree(App& app, Served& s) {
    return read_volume(app, s, [&](Volume& r) {
        Reply rep;
        rep.body = folder_tree(r, total_blocks(r) / 2 + 1);
        return rep;
    });
}

Reply api_file(App& app, Served& s, const std::string& path) {
    return read_volume(app, s, [&](Volume& r) {
        Lookup l;
        if (FsErr e = fs_resolve(r, host_name(path), &l); e != FsErr::ok) return reply_fs(e, path);
        if (l.root || l.slot < 0) return reply_fs(l.root ? FsErr::is_folder : FsErr::no_entry, path);
        const std::uint8_t* e = folder_entry(l.folder, l.slot);
        if (entry_type(e) == TYPE_SUBDIR) return reply_fs(FsErr::is_folder, path);
        Reply rep;
        rep.bytes.resize(std::size_t{entry_size(e)} * BLOCK_SIZE);
        if (!rep.bytes.empty() &&
            chain_transfer(r, reinterpret_cast<std::uint8_t*>(rep.bytes.data()), entry_start(e), entry_contiguous(e),
                           entry_size(e), Direction::read) < 0)
            return reply_error(500, path + ": its chain could not be read (run Check)", "io");
        rep.content_type = "application/octet-stream";
        rep.file_name = download_name(path_leaf(path));
        return rep;
    });
}

Reply api_map(App& app, Served& s) {
    return read_volume(app, s, [&](Volume& r) {
        BlockMap m;
        if (FsErr e = block_map(r, &m); e != FsErr::ok) return reply_fs(e, s.name);
        Reply rep;
        rep.bytes = block_map_bytes(m);
        rep.content_type = "application/octet-stream";
        return rep;
    });
}
