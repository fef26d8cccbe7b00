// The parts of zvk below its commands: volume paths and their wildcards,
// the copy of trees between the host and volumes, and the walks that list
// and remove. Nothing here prints; failures go to the callbacks of a
// Report or come back as values.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fsys.h"
#include "transfer.h"

namespace zvk {

// Folders deeper than this below a copy, listing or removal are refused
// (a host path could not hold them, and a linked folder may loop).
inline constexpr int MAX_DEPTH = 200;

// --- command-line paths ----------------------------------------------------

// One argument: IMAGE:/PATH (split at the first ':' followed by '/') or a
// host path.
struct Spec {
    bool volume = false;
    std::string image;  // the image part of a volume path
    std::string path;   // the volume path ("/" for the root) or the host path
    bool slash = false; // ends in '/' (the root always does)
    std::string text;   // as given
};
Spec parse_spec(std::string_view arg);

// "IMAGE:/PATH" for messages.
std::string shown(const std::string& image, std::string_view path);

// The listed name made safe for a terminal: control characters escaped as
// %XX (decoded again by name_encode).
std::string display_name(std::string_view listed);

// An entry a volume path leads to.
struct Match {
    std::string path;  // "/A/B" with the listed names
    bool root = false;
    std::uint64_t folder = ROOT_DIR_BLOCK;  // the folder holding it
    std::uint64_t folder_parent = 0;
    RawName folder_name{};
    int slot = -1;
    std::array<std::uint8_t, DIR_ENTRY_SIZE> entry{};

    std::uint8_t type() const { return entry[entry_field::TYPE]; }
    bool is_folder() const { return root || type() == TYPE_SUBDIR; }
    std::uint32_t start() const { return root ? ROOT_DIR_BLOCK : entry_start(entry.data()); }
};

// Whether a path holds a wildcard (*, ? or [).
bool has_wildcard(std::string_view path);

// The entries a path names, its wildcards matched against the listed
// names, in listing order: ok (at least one), no_entry, not_folder, or a
// read failure.
FsErr expand(Volume& v, std::string_view path, std::vector<Match>* out);

// The entry a path without wildcards names (its names looked up as they
// are): ok, no_entry, not_folder, ...
FsErr resolve(Volume& v, std::string_view path, Match* out);

// The folder an entry found by expand leads to (the root for the root).
FsErr match_folder(Volume& v, const Match& m, Folder* out);
// The folder holding it.
FsErr match_parent(Volume& v, const Match& m, Folder* out);

// --- volumes ------------------------------------------------------------------

// Why the open volume holds no file system zvk can use, or empty.
std::string not_a_volume(Volume& v);

// --- copies -------------------------------------------------------------------

// One end of a copy: a host path, a volume path, or (as a source) bytes in
// memory.
struct Location {
    Volume* vol = nullptr;  // null: host (or buffer)
    std::string image;      // for messages
    std::string path;       // volume path or host path
    bool slash = false;     // a trailing '/': a folder (source: its content)
    const std::uint8_t* data = nullptr;  // a buffer source
    std::size_t size = 0;
    std::string name;  // a source's name at the destination (a buffer's name); empty: its own
};

struct CopyOptions {
    bool recursive = false;
    Clash clash = Clash::stop;
    int type = -1;
    bool audio = false;
    bool mix = false;
    bool dry_run = false;
    bool verbose = false;  // say: one line per entry made
};

// Where a copy reports: item failures, lines of a dry run (and of -v), and
// how far it is.
struct Report {
    std::function<void(const std::string& path, const std::string& why)> error;
    std::function<void(const std::string& line)> say;
    ProgressFn progress;
};

struct CopyOutcome {
    bool refused = false;  // nothing written: it does not fit, or a clash
    int failed = 0;        // items that failed (each reported)
    int made = 0, replaced = 0, skipped = 0;
    FsErr err = FsErr::ok;  // the layer's code for the refusal or first failure, when one fits
    std::uint64_t files = 0, bytes = 0;  // planned
};

// Copy every source to dst in whatever direction they go (host to volume,
// volume to host, volume to volume), checking first that all of it fits
// and that no name clashes (unless skip or replace); a host to host copy
// is refused.
CopyOutcome copy_tree(const std::vector<Location>& sources, const Location& dst, const CopyOptions& opt,
                      const Report& report);

// How the shared operations (transfer.h) run the copy engine: the copy
// options of a put, a report whose first error lands in res (which must
// outlive it), and the counts of the outcome added to res.
CopyOptions copy_options(const PutOptions& opt);
Report result_report(Result& res, const ProgressFn& progress);
void result_outcome(Result& res, const CopyOutcome& out);

// The refusal of a folder that would hold more than 38 entries.
std::string entries_needed(int added, int there);

// Whether the folder at inner is the folder at outer or lies below it.
FsErr folder_within(Volume& v, std::uint64_t outer, std::uint64_t inner, bool* within);

// --- listing ------------------------------------------------------------------

// Entries that name each chain start, over the whole volume (the links of
// a listing); only the starts wanted are counted when wanted is not empty.
FsErr link_census(Volume& v, const std::vector<std::uint64_t>& wanted,
                  std::vector<std::pair<std::uint64_t, std::uint32_t>>* counts);

// The row of entry slot of folder f (path: the folder's path).
Row make_row(const Folder& f, int slot, const std::string& name, const std::string& folder_path);

// Visit every folder below (and with) the folder at path depth first, in
// listing order, with its path; a folder reached twice along one path (a
// loop through a link) is not entered again. Stops when visit returns
// false. ok, or the first failure (the walk goes on past unreadable
// folders, reporting each through failed).
using TreeVisit = std::function<bool(const Folder& f, const std::string& path, int depth)>;
FsErr walk_tree(Volume& v, const Folder& top, const std::string& top_path, const TreeVisit& visit,
                const std::function<void(const std::string& path, FsErr e)>& failed);

// s as a JSON string (bytes beyond ASCII read as Latin-1).
std::string json_quote(std::string_view s);
void json_string(std::string& out, std::string_view s);

// --- removal ------------------------------------------------------------------

// Remove entry slot of f, a folder with its whole content when recursive;
// each failure reported. ok or the first failure.
FsErr remove_entry_tree(Volume& v, Folder& f, int slot, const std::string& path, bool recursive,
                        const std::function<void(const std::string& path, const std::string& why)>& error);

// --- host files -----------------------------------------------------------------

// The type a host file carries in its user.zvk.type attribute, or -1.
int host_type(const std::string& path);
// Note the type in that attribute (silently nothing where the host has none).
void host_type_set(int fd, std::uint8_t type);

// A file type a new entry may have (not empty, folder, parent link or OS).
bool valid_file_type(int type);

}  // namespace zvk
