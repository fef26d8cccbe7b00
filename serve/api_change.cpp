// The requests that change a volume, each through the layer's operations
// on the volume's change handle, one at a time.
#include <cstring>

#include "api.h"
#include "paths.h"

namespace {

Reply done(const Json& body = Json::object()) {
    Reply r;
    r.body = body;
    r.body["ok"] = true;
    return r;
}

// The stored form of a new name from the page: ok, or why not.
FsErr new_name(const std::string& web, RawName* raw) {
    if (web.empty() || web == "." || web == ".." || web.find('/') != std::string::npos) return FsErr::no_entry;
    return name_encode(host_name(web).c_str(), *raw) == 0 ? FsErr::ok : FsErr::name_too_long;
}

Reply bad_name(FsErr e, const std::string& web) {
    if (e == FsErr::name_too_long) return reply_error(400, web + ": a name holds at most 12 bytes", "name_too_long");
    return reply_error(400, "\"" + web + "\" is not a name an entry can have", "bad_name");
}

Reply folder_full(const std::string& folder) {
    return reply_error(409, (folder == "/" ? std::string("the root") : folder) +
                                " is full: a folder holds 38 entries",
                       "folder_full");
}

// The entry a path names, the root excluded: ok with l->slot set.
FsErr resolve_entry(Volume& v, const std::string& path, Lookup* l) {
    if (FsErr e = fs_resolve(v, host_name(path), l); e != FsErr::ok) return e;
    if (l->root) return FsErr::is_root;
    return l->slot < 0 ? FsErr::no_entry : FsErr::ok;
}

std::string shown(const RawName& raw) { return web_name(name_display(raw.data())); }

}  // namespace

Reply api_mkdir(App& app, Served& s, const std::string& folder, const std::string& name) {
    return change_volume(app, s, [&](Volume& v) {
        Folder f;
        if (FsErr e = fs_open_folder(v, host_name(folder), &f); e != FsErr::ok) return reply_fs(e, folder);
        RawName raw;
        if (FsErr e = new_name(name, &raw); e != FsErr::ok) return bad_name(e, name);
        if (folder_find_raw(f, raw) >= 0) return reply_fs(FsErr::exists, path_join(folder, shown(raw)));
        const int slot = folder_free_slot(f);
        if (slot < 0) return folder_full(folder);
        if (FsErr e = fs_make_folder(v, f, slot, raw); e != FsErr::ok) return reply_fs(e, path_join(folder, name));
        return done({{"path", path_join(folder, shown(raw))}});
    });
}

Reply api_rename(App& app, Served& s, const std::string& path, const std::string& name) {
    return change_volume(app, s, [&](Volume& v) {
        Lookup l;
        if (FsErr e = resolve_entry(v, path, &l); e != FsErr::ok) return reply_fs(e, path);
        RawName raw;
        if (FsErr e = new_name(name, &raw); e != FsErr::ok) return bad_name(e, name);
        const int other = folder_find_raw(l.folder, raw);
        if (other >= 0 && other != l.slot) return reply_fs(FsErr::exists, path_join(path_parent(path), shown(raw)));
        std::uint8_t e[DIR_ENTRY_SIZE];
        std::memcpy(e, folder_entry(l.folder, l.slot), DIR_ENTRY_SIZE);
        std::memcpy(e + entry_field::NAME, raw.data(), NAME_LEN);
        if (FsErr r = fs_update(v, l.folder, l.slot, e); r != FsErr::ok) return reply_fs(r, path);
        return done({{"path", path_join(path_parent(path), shown(raw))}});
    });
}

Reply api_retype(App& app, Served& s, const std::string& path, int type) {
    if (type < 1 || type > 255 || type == TYPE_SUBDIR || type == TYPE_PARENT)
        return reply_error(400, "type " + std::to_string(type) + " is not a type a file can have", "bad_type");
    return change_volume(app, s, [&](Volume& v) {
        Lookup l;
        if (FsErr e = resolve_entry(v, path, &l); e != FsErr::ok) return reply_fs(e, path);
        std::uint8_t e[DIR_ENTRY_SIZE];
        std::memcpy(e, folder_entry(l.folder, l.slot), DIR_ENTRY_SIZE);
        if (entry_type(e) == TYPE_SUBDIR) return reply_error(400, path + ": a folder keeps its type", "is_folder");
        e[entry_field::TYPE] = static_cast<std::uint8_t>(type);
        if (FsErr r = fs_update(v, l.folder, l.slot, e); r != FsErr::ok) return reply_fs(r, path);
        return done();
    });
}

Reply api_link(App& app, Served& s, const std::string& path, const std::string& folder, const std::string& name) {
    return change_volume(app, s, [&](Volume& v) {
        Lookup l;
        if (FsErr e = resolve_entry(v, path, &l); e != FsErr::ok) return reply_fs(e, path);
        const std::uint8_t* src = folder_entry(l.folder, l.slot);
        if (entry_type(src) == TYPE_SUBDIR) return reply_error(400, path + ": only files can be linked", "is_folder");
        Folder t;
        if (FsErr e = fs_open_folder(v, host_name(folder), &t); e != FsErr::ok) return reply_fs(e, folder);
        NewEntry n;
        if (name.empty()) std::memcpy(n.name.data(), src + entry_field::NAME, NAME_LEN);
        else if (FsErr e = new_name(name, &n.name); e != FsErr::ok) return bad_name(e, name);
        if (folder_find_raw(t, n.name) >= 0) return reply_fs(FsErr::exists, path_join(folder, shown(n.name)));
        const int slot = folder_free_slot(t);
        if (slot < 0) return folder_full(folder);
        n.type = entry_type(src);
        n.size = entry_size(src);
        n.blocks = std::max<std::uint64_t>(1, n.size);
        n.contiguous = entry_contiguous(src);
        n.first = entry_start(src);
        if (FsErr e = fs_create(v, t, slot, n, {}); e != FsErr::ok) return reply_fs(e, path_join(folder, shown(n.name)));
        return done({{"path", path_join(folder, shown(n.name))}});
    });
}

Reply api_label(App& app, Served& s, const std::string& label) {
    const std::string host = host_name(label);
    if (host.size() > LABEL_LEN) return reply_error(400, "a disk label holds at most 7 bytes", "name_too_long");
    return change_volume(app, s, [&](Volume& v) {
        const Block devid = v.devid, os = v.os;
        std::uint8_t* field = v.devid.data() + devid::LABEL;
        std::memset(field, ' ', LABEL_LEN);
        for (std::size_t i = 0; i < host.size(); ++i)
            field[i] = static_cast<std::uint8_t>(host[i] >= 'a' && host[i] <= 'z' ? host[i] - 'a' + 'A' : host[i]);
        if (label_write(v) != 0) {
            v.devid = devid;
            v.os = os;
            return reply_error(500, s.name + ": the label could not be written", "io");
        }
        return done();
    });
}
