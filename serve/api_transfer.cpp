// The requests that go through the code the one-shot command uses: the
// listing rows, uploads (with the audio conversion) and folder downloads
// as archives.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "api.h"
#if ZVK_HAVE_LIBARCHIVE
#include "archive/archive.h"
#endif
#include "paths.h"
#include "transfer.h"

namespace {

Reply failed(const zvk::Result& r, const std::string& fallback) {
    const std::string where = r.path.empty() ? fallback : web_name(r.path);
    const std::string why = r.why.empty() ? std::string(fs_strerror(r.err)) : r.why;
    // A refusal without a code of the layer (a sound file that does not
    // convert, say) is the request's fault.
    Reply rep = r.err == FsErr::ok ? reply_error(400, "", "refused") : reply_fs(r.err, where);
    rep.body["error"] = where + ": " + why;
    return rep;
}

// A sound file uploaded for conversion: the converter reads files, so the
// bytes go into an anonymous in-memory file (no host file is made) that
// it opens by its /proc name.
zvk::Result put_converted(Volume& v, const std::string& folder, const std::string& leaf, const std::string& data,
                          const zvk::PutOptions& opt) {
    zvk::Result r;
    r.ok = false;
    r.path = path_join(folder, leaf);
    const int fd = memfd_create("zvk-upload", MFD_CLOEXEC);
    if (fd < 0) {
        r.why = "no memory for the sound file";
        return r;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == data.size())
        r = zvk::put_file(v, folder, "/proc/self/fd/" + std::to_string(fd), zvk::audio_entry_name(leaf), opt);
    else
        r.why = "no memory for the sound file";
    ::close(fd);
    return r;
}

Json row_object(const zvk::Row& r) {
    return {{"path", web_name(r.path)},   {"name", web_name(r.name)}, {"slot", r.slot},
            {"type", r.type},             {"type_name", r.type_name}, {"folder", r.folder},
            {"blocks", r.blocks},         {"entries", r.entries},     {"first", r.first},
            {"contiguous", r.contiguous}, {"links", r.links}};
}

}  // namespace

Reply api_list(App& app, Served& s, const std::string& path) {
    return read_volume(app, s, [&](Volume& r) {
        Folder f;
        const std::string host = host_name(path);
        if (FsErr e = fs_open_folder(r, host, &f); e != FsErr::ok) return reply_fs(e, path);
        std::vector<zvk::Row> rows;
        const zvk::Result res = zvk::list_folder(r, host, &rows);
        if (!res.ok) return failed(res, path);
        Json list = Json::array();
        for (const zvk::Row& row : rows) list.push_back(row_object(row));
        Reply rep;
        rep.body = {{"path", path}, {"entries", list}, {"used", folder_used(f)}, {"free", free_counter(r)}};
        return rep;
    });
}

Reply api_upload(App& app, Served& s, const Upload& u, const std::string& data) {
    return change_volume(app, s, [&](Volume& v) {
        const std::string name = host_name(u.name);
        std::string folder = host_name(u.folder);
        const std::size_t slash = name.rfind('/');
        if (slash != std::string::npos) {
            folder = path_join(folder, name.substr(0, slash));
            const zvk::Result made = zvk::make_folders(v, folder);
            if (!made.ok) return failed(made, web_name(folder));
        }
        zvk::PutOptions opt;
        opt.clash = u.replace ? zvk::Clash::replace : zvk::Clash::stop;
        opt.audio = u.convert;
        const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
        const zvk::Result r = u.convert ? put_converted(v, folder, leaf, data, opt)
                                        : zvk::put_buffer(v, folder, leaf,
                                                          reinterpret_cast<const std::uint8_t*>(data.data()),
                                                          data.size(), opt);
        if (!r.ok) return failed(r, path_join(u.folder, u.name));
        Reply rep;
        rep.body = {{"ok", true}, {"made", r.made}, {"replaced", r.replaced}};
        return rep;
    });
}

Reply api_make_path(App& app, Served& s, const std::string& path) {
    return change_volume(app, s, [&](Volume& v) {
        const zvk::Result r = zvk::make_folders(v, host_name(path));
        if (!r.ok) return failed(r, path);
        Reply rep;
        rep.body = {{"ok", true}, {"made", r.made}};
        return rep;
    });
}

Reply api_remove(App& app, Served& s, const std::string& path) {
    return change_volume(app, s, [&](Volume& v) {
        // A folder goes with everything in it (the page asked first); a
        // folder or file that another entry also names keeps its content.
        const zvk::Result r = zvk::remove_path(v, host_name(path), true);
        if (!r.ok) return failed(r, path);
        Reply rep;
        rep.body = {{"ok", true}};
        return rep;
    });
}

Reply api_move(App& app, Served& s, const std::string& path, const std::string& folder) {
    return change_volume(app, s, [&](Volume& v) {
        // Only into a folder that is there: never a rename to a new path.
        Folder t;
        if (FsErr e = fs_open_folder(v, host_name(folder), &t); e != FsErr::ok) return reply_fs(e, folder);
        const zvk::Result r = zvk::move_path(v, host_name(path), host_name(folder));
        if (!r.ok) return failed(r, path);
        Reply rep;
        rep.body = {{"ok", true}, {"path", path_join(folder, path_leaf(path))}};
        return rep;
    });
}

Reply upload_precheck(App&, Served& s, std::uint64_t length, bool convert) {
    if (std::string why; !served_writable(s, &why)) return reply_error(409, s.name + " is " + why + ": nothing was changed", "read_only");
    if (convert) return Reply{};
    std::shared_lock<std::shared_mutex> hold(s.access);
    const std::uint64_t blocks = (length + BLOCK_SIZE - 1) / BLOCK_SIZE;
    const std::uint32_t free_blocks = free_counter(s.vol);
    if (blocks <= free_blocks) return Reply{};
    return reply_error(507, s.name + ": not enough free blocks (the file needs " + std::to_string(blocks) + ", " +
                                std::to_string(free_blocks) + " are free)",
                       "no_space");
}

bool archive_folder_exists(App& app, Served& s, const std::string& path, Reply* why) {
    if (!zvk::archive_available()) {
        *why = reply_error(501, "this zvk was built without archives (libarchive)", "no_archive");
        return false;
    }
    *why = read_volume(app, s, [&](Volume& r) {
        Folder f;
        if (FsErr e = fs_open_folder(r, host_name(path), &f); e != FsErr::ok) return reply_fs(e, path);
        return Reply{};
    });
    return why->status == 200;
}

bool archive_stream(App& app, Served& s, const std::string& path, bool zip,
                    const std::function<bool(const void*, std::size_t)>& sink) {
#if ZVK_HAVE_LIBARCHIVE
    std::shared_lock<std::shared_mutex> hold(s.access);
    std::shared_lock<std::shared_mutex> quiet(app.console_lock);
    Volume r;
    if (!reader_open(s, r)) return false;
    ArchiveWriter w;
    // The archive goes out in pieces of 100 KB as they are made, so the
    // browser takes one while the next is made, in few calls.
    ArchiveWriteOptions o;
    o.block_bytes = 10 * 10240;
    if (w.open_sink(sink, zip ? ArchiveFormat::zip : ArchiveFormat::tar, o) != 0) return false;
    const zvk::Result res = zvk::export_tree(r, host_name(path), w, path != "/");
    return res.ok && w.close() == 0;
#else
    (void)app, (void)s, (void)path, (void)zip, (void)sink;
    return false;
#endif
}
