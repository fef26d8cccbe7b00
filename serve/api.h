// What the page asks of the server, one function per request, each on a
// served volume and answering a status with a JSON body (or bytes). They
// take the volume's lock themselves: changes one at a time, reads beside
// each other, each through its own read handle.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fsys.h"
#include "served.h"

using Json = nlohmann::json;

struct Reply {
    int status = 200;
    Json body = Json::object();
    // For downloads: the bytes, their type and the attachment's file name.
    std::string bytes;
    std::string content_type;
    std::string file_name;
};

// The server's state beside its volumes.
struct App {
    std::vector<std::unique_ptr<Served>> volumes;
    // Held exclusively while the checker's report is captured from the
    // console streams, shared by every other request that may print.
    std::shared_mutex console_lock;
    std::FILE* sink = nullptr;  // where the layer's messages go
};

// JSON serialised for the wire: never throws; bytes that are not UTF-8
// (there should be none: names are escaped) become U+FFFD.
std::string json_text(const Json& j);

Reply reply_error(int status, const std::string& message, const std::string& code);
// A failure of the layer on what (a path or a name), as a plain sentence.
Reply reply_fs(FsErr e, const std::string& what);

// --- reading (api_read.cpp) ---
Json api_volumes(App& app);
Reply api_list(App& app, Served& s, const std::string& path);
Reply api_tree(App& app, Served& s);
Reply api_file(App& app, Served& s, const std::string& path);
Reply api_map(App& app, Served& s);

// --- changing (api_change.cpp) ---
Reply api_mkdir(App& app, Served& s, const std::string& folder, const std::string& name);
// The folder at path and every missing one above it (those there already
// are fine), as an upload makes the folders of its path.
Reply api_make_path(App& app, Served& s, const std::string& path);
Reply api_rename(App& app, Served& s, const std::string& path, const std::string& name);
Reply api_retype(App& app, Served& s, const std::string& path, int type);
Reply api_remove(App& app, Served& s, const std::string& path);
Reply api_link(App& app, Served& s, const std::string& path, const std::string& folder, const std::string& name);
Reply api_move(App& app, Served& s, const std::string& path, const std::string& folder);
Reply api_label(App& app, Served& s, const std::string& label);

// An upload: data (bytes long) into folder under the relative name (folders
// of it made as needed), converted to an instrument when convert is set,
// an existing file of that name replaced when replace is set.
struct Upload {
    std::string folder;
    std::string name;  // "SUB/KICK.WAV": folders and the file
    bool convert = false;
    bool replace = false;
};
Reply api_upload(App& app, Served& s, const Upload& u, const std::string& data);
// Before the body of an upload of length bytes is read: status 200, or the
// refusal (a read-only volume; without conversion, more than it has free).
Reply upload_precheck(App& app, Served& s, std::uint64_t length, bool convert);

// A folder download: whether the folder at path is there (else *why, the
// reply), then the archive of it (tar or zip) given to sink piece by piece,
// the volume held shared meanwhile: false when it could not be completed.
bool archive_folder_exists(App& app, Served& s, const std::string& path, Reply* why);
bool archive_stream(App& app, Served& s, const std::string& path, bool zip,
                    const std::function<bool(const void*, std::size_t)>& sink);

// --- the checker (check.cpp) ---
Reply api_check(App& app, Served& s, bool repair);

// --- the block map (blockmap.cpp) ---
// Every block's owner as runs: (code, count) pairs, code 0 free, 1 system,
// 2 lost, 3 bad, 4 + i the chain of owners[i].
struct MapOwner {
    std::string path;
    std::uint32_t first = 0;
    bool folder = false;
    std::uint32_t blocks = 0;
    std::vector<std::string> links;  // further entries naming the chain
};
struct BlockMap {
    std::uint32_t total = 0;
    std::vector<MapOwner> owners;
    std::vector<std::uint32_t> runs;  // code, count, code, count, ...
};
enum : std::uint32_t { MAP_FREE = 0, MAP_SYSTEM = 1, MAP_LOST = 2, MAP_BAD = 3, MAP_OWNER = 4 };
FsErr block_map(Volume& v, BlockMap* out);
// The map as the page reads it: "ZVKM", total, JSON length, run count (all
// 32-bit little-endian), the owner table as JSON padded to 4 bytes, the runs.
std::string block_map_bytes(const BlockMap& m);

// Run f on a read handle of s, holding s shared: f(Volume&) -> Reply.
template <class F>
Reply read_volume(App& app, Served& s, F f) {
    std::shared_lock<std::shared_mutex> hold(s.access);
    std::shared_lock<std::shared_mutex> quiet(app.console_lock);
    Volume r;
    if (!reader_open(s, r)) return reply_error(500, s.name + ": the header blocks could not be read", "read_error");
    return f(r);
}

// Run f on the change handle of s, alone: f(Volume&) -> Reply.
template <class F>
Reply change_volume(App& app, Served& s, F f) {
    if (std::string why; !served_writable(s, &why)) return reply_error(409, s.name + " is " + why + ": nothing was changed", "read_only");
    std::unique_lock<std::shared_mutex> hold(s.access);
    std::shared_lock<std::shared_mutex> quiet(app.console_lock);
    if (!s.writable()) return reply_error(409, s.name + " is " + s.read_only_why + ": nothing was changed", "read_only");
    Reply r = f(s.vol);
    ++s.generation;
    return r;
}
