// Folders made, entries removed (folders with their content), moved and
// renamed, through the layer's ordered operations.
#include <algorithm>
#include <cstring>

#include "edit.h"

namespace zvk {

namespace {

Result failure(std::string path, FsErr e, std::string why = {}) {
    Result r;
    r.ok = false;
    r.err = e;
    r.path = std::move(path);
    r.why = why.empty() ? fs_strerror(e) : std::move(why);
    return r;
}

// Re-read f from the volume (after an operation that may have changed it).
FsErr reread(Volume& v, Folder& f) { return folder_read(v, f.start, f.parent, f.name, &f); }

}  // namespace

Result make_folder_in(Volume& v, Folder& parent, const std::string& name, const std::string& path, bool exist_ok) {
    RawName raw;
    std::string why;
    if (!name_for_entry(name, &raw, &why)) return failure(path, FsErr::name_too_long, why + " (" + name + ")");
    const int there = folder_find_raw(parent, raw);
    if (there >= 0) {
        if (exist_ok && entry_type(folder_entry(parent, there)) == TYPE_SUBDIR) return {};
        return failure(path, FsErr::exists);
    }
    const int slot = folder_free_slot(parent);
    if (slot < 0) return failure(path, FsErr::bad_slot);
    if (FsErr e = fs_make_folder(v, parent, slot, raw); e != FsErr::ok) return failure(path, e);
    Result r;
    r.made = 1;
    return r;
}

Result make_folders(Volume& v, std::string_view path) {
    Folder at;
    if (FsErr e = folder_read_root(v, &at); e != FsErr::ok) return failure(std::string(path), e);
    std::string shown_path;
    Result total;
    for (const std::string& part : fs_path_parts(path)) {
        shown_path += "/" + part;
        int slot = -1;
        FsErr e = folder_lookup(at, part, &slot);
        if (e == FsErr::no_entry) {
            Result r = make_folder_in(v, at, part, shown_path, true);
            if (!r.ok) return r;
            total.made += r.made;
            e = folder_lookup(at, part, &slot);
        }
        if (e != FsErr::ok) return failure(shown_path, e);
        Folder next;
        if ((e = folder_child(v, at, slot, &next)) != FsErr::ok) return failure(shown_path, e);
        at = next;
    }
    return total;
}

namespace {

struct Removal {
    Removal(Volume& vol, bool r, const std::function<void(const std::string&, const std::string&)>& e)
        : v(vol), recursive(r), error(e) {}
    Volume& v;
    bool recursive;
    const std::function<void(const std::string&, const std::string&)>& error;
    FsErr first = FsErr::ok;
    int depth = 0;

    FsErr fail(const std::string& path, FsErr e, const char* why = nullptr) {
        if (first == FsErr::ok) first = e;
        if (error) error(path, why ? why : fs_strerror(e));
        return e;
    }

    FsErr content(Folder& child, const std::string& path) {
        FsErr worst = FsErr::ok;
        for (const auto& [slot, listed] : folder_listing(child.image)) {
            const std::string p = (path == "/" ? "" : path) + "/" + display_name(listed);
            if (FsErr e = entry(child, slot, p); e != FsErr::ok) worst = e;
        }
        return worst;
    }

    FsErr folder(Folder& f, int slot, const std::string& path) {
        const std::uint64_t start = entry_start(folder_entry(f, slot));
        bool shared = true;
        // A folder another entry also leads to stays, with its content;
        // only this entry goes.
        if (fs_chain_shared(v, start, f.start, slot, &shared) != FsErr::ok) return fail(path, FsErr::read_error);
        if (shared) return done(fs_remove(v, f, slot, Release::entry_only), path);
        Folder child;
        if (FsErr e = folder_child(v, f, slot, &child); e != FsErr::ok) return fail(path, e);
        if (folder_used(child) > 0) {
            if (!recursive) return fail(path, FsErr::not_empty, "folder is not empty (rm -r removes its content)");
            if (++depth > MAX_DEPTH) return fail(path, FsErr::damaged, "folders nested too deep");
            const FsErr e = content(child, path);
            --depth;
            if (e != FsErr::ok) return e;
            if (FsErr r = reread(v, f); r != FsErr::ok) return fail(path, r);
        }
        return done(fs_remove(v, f, slot, Release::chain), path);
    }

    FsErr done(FsErr e, const std::string& path) { return e == FsErr::ok ? e : fail(path, e); }

    FsErr entry(Folder& f, int slot, const std::string& path) {
        if (entry_type(folder_entry(f, slot)) == TYPE_SUBDIR) return folder(f, slot, path);
        return done(fs_remove(v, f, slot, Release::chain_unshared), path);
    }
};

}  // namespace

FsErr remove_entry_tree(Volume& v, Folder& f, int slot, const std::string& path, bool recursive,
                        const std::function<void(const std::string& path, const std::string& why)>& error) {
    Removal r(v, recursive, error);
    r.entry(f, slot, path);
    return r.first;
}

Result remove_path(Volume& v, std::string_view path, bool recursive) {
    Match m;
    if (FsErr e = resolve(v, path, &m); e != FsErr::ok) return failure(std::string(path), e);
    if (m.root) return failure("/", FsErr::is_root);
    Folder f;
    if (FsErr e = match_parent(v, m, &f); e != FsErr::ok) return failure(m.path, e);
    Result res;
    remove_entry_tree(v, f, m.slot, m.path, recursive, [&res](const std::string& p, const std::string& why) {
        if (!res.ok) return;
        res.ok = false;
        res.path = p;
        res.why = why;
    });
    return res;
}

namespace {

// Move entry slot of from (at path) into folder to under raw: from and to
// may be the same folder (a rename).
Result move_into(Volume& v, Folder& from, int slot, Folder& to, const RawName& raw, const std::string& dest) {
    Folder& target = from.start == to.start ? from : to;
    if (folder_free_slot(target) < 0 && from.start != to.start) return failure(dest, FsErr::bad_slot);
    int made = -1;
    if (FsErr e = fs_move(v, from, slot, target, -1, &raw, &made); e != FsErr::ok) return failure(dest, e);
    Result r;
    r.made = 1;
    return r;
}

}  // namespace

Result move_entry(Volume& v, const Match& src, std::string_view to, bool slash, Clash clash) {
    if (src.root) return failure("/", FsErr::is_root);
    Folder from;
    if (FsErr e = match_parent(v, src, &from); e != FsErr::ok) return failure(src.path, e);
    RawName raw;
    std::memcpy(raw.data(), src.entry.data() + entry_field::NAME, NAME_LEN);
    Match dst;
    FsErr e = resolve(v, to, &dst);
    std::string dest(to);
    Folder into;
    if (e == FsErr::ok && dst.is_folder()) {
        if ((e = match_folder(v, dst, &into)) != FsErr::ok) return failure(dest, e);
        dest = (dst.path == "/" ? "" : dst.path) + "/" + display_name(name_display(raw.data()));
    } else if (e == FsErr::ok || e == FsErr::no_entry) {
        if (e == FsErr::ok && slash) return failure(dest, FsErr::not_folder);
        const auto parts = fs_path_parts(to);
        std::string why;
        if (parts.empty() || !name_for_entry(parts.back(), &raw, &why)) return failure(dest, FsErr::name_too_long, why);
        std::string up;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) up += "/" + parts[i];
        if ((e = fs_open_folder(v, up.empty() ? "/" : up, &into)) != FsErr::ok) return failure(dest, e);
    } else {
        return failure(dest, e);
    }
    return move_checked(v, from, src.slot, into, raw, dest, clash);
}

Result move_checked(Volume& v, Folder& from, int slot, Folder& into, const RawName& raw, const std::string& dest,
                    Clash clash) {
    if (from.start == into.start) into = from;
    const int there = folder_find_raw(into, raw);
    if (there >= 0 && !(into.start == from.start && there == slot)) {
        const bool folder_there = entry_type(folder_entry(into, there)) == TYPE_SUBDIR;
        if (clash == Clash::skip) {
            Result r;
            r.skipped = 1;
            return r;
        }
        if (clash == Clash::stop || folder_there) return failure(dest, FsErr::exists, folder_there ? "a folder of that name is there" : "");
        if (FsErr e = fs_remove(v, into, there, Release::chain_unshared); e != FsErr::ok) return failure(dest, e);
        if (into.start == from.start) from = into;
        else if (FsErr e = reread(v, from); e != FsErr::ok) return failure(dest, e);
    }
    Result r = move_into(v, from, slot, into, raw, dest);
    if (r.ok && there >= 0 && clash == Clash::replace) r.replaced = 1;
    return r;
}

Result move_path(Volume& v, std::string_view from, std::string_view to) {
    Match m;
    if (FsErr e = resolve(v, from, &m); e != FsErr::ok) return failure(std::string(from), e);
    return move_entry(v, m, to, false, Clash::stop);
}

}  // namespace zvk
