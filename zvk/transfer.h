// What the one-shot command and the server share: host files and uploads
// put into a volume folder, folders made, files read, entries removed and
// moved, folders written into archives and archives read into folders, and
// the rows of a folder listing. Nothing here prints: a failure comes back
// as a Result with a reason, progress through a callback.
//
// Every function works on a Volume the caller opened (read-write with the
// lock for the changing ones) and changes it only through fsys/. Paths are
// volume paths from the root ("/DRUMS/KICK"); names are host names as the
// mount shows them (stored names as they are, escapes for what a host name
// cannot hold, "%#N" for a later duplicate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fsys.h"

class ArchiveWriter;
class ArchiveReader;

namespace zvk {

// What happens when a name is already taken in the destination folder.
enum class Clash {
    stop,    // the whole operation is refused before anything is written
    skip,    // the item is left out (Result::skipped)
    replace  // the file there is replaced (never a folder)
};

// The outcome of an operation.
struct Result {
    bool ok = true;
    FsErr err = FsErr::ok;  // the layer's code, when the layer refused
    std::string path;       // the volume path the failure concerns
    std::string why;        // e.g. "needs 120 blocks, 80 free"
    int made = 0;           // entries made (files and folders)
    int replaced = 0;       // files replaced (Clash::replace)
    int skipped = 0;        // items left out (Clash::skip)
};

// How far a long operation is: reported after each file.
struct Progress {
    std::uint64_t files_done = 0, files_total = 0;
    std::uint64_t bytes_done = 0, bytes_total = 0;
};
using ProgressFn = std::function<void(const Progress&)>;

// Type of a new file when nothing says otherwise (as the mount gives), and
// of an instrument converted from a sound file.
inline constexpr std::uint8_t DEFAULT_FILE_TYPE = 31;
inline constexpr std::uint8_t INSTRUMENT_TYPE = 3;

struct PutOptions {
    Clash clash = Clash::stop;
    int type = -1;       // the new entries' type; -1: the default (above)
    bool audio = false;  // sound files converted into instruments
    bool mix = false;    // more than two channels mixed to stereo (audio)
};

// --- names ---------------------------------------------------------------

// The stored form of a host name given for a new entry: escapes decoded,
// a-z upper-cased, at most 12 bytes. false with why otherwise.
bool name_for_entry(std::string_view host_name, RawName* raw, std::string* why);

// The host file name of a listed name (as folder_listing gives it), safe
// inside a target folder: never empty, ".", ".." or holding "/", no
// leading "-" (written %2D), control characters escaped (%0A). Decoding it
// again (name_encode) gives the stored name.
std::string host_safe_name(std::string_view listed);

// The entry name an audio file gets: its name without the extension.
std::string audio_entry_name(std::string_view host_file_name);

// Whether this build converts sound files (libsndfile was found).
bool audio_available();

// --- putting files ----------------------------------------------------------

// Put the host file host_path into the folder at folder under name (empty:
// the file's own name; with audio, without its extension). The name is
// checked, the clash rule applied and the space checked (blocks, 38
// entries a folder, 65,535-block files) before anything is written.
Result put_file(Volume& v, std::string_view folder, const std::string& host_path, std::string_view name,
                const PutOptions& opt, const ProgressFn& progress = {});

// The same for bytes held in memory (an upload) under name.
Result put_buffer(Volume& v, std::string_view folder, std::string_view name, const std::uint8_t* data,
                  std::size_t size, const PutOptions& opt);

// Make the folder at path and every missing folder above it (mkdir -p);
// ok when it is already there.
Result make_folders(Volume& v, std::string_view path);

// The blocks of the file at path, given to sink in runs (whole blocks);
// sink returns false to stop (the Result then fails with why "stopped").
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
Result read_file(Volume& v, std::string_view path, const ByteSink& sink);

// Remove the entry at path; a folder only when empty, or with recursive
// its whole content first. A file's chain is freed unless another entry
// names it.
Result remove_path(Volume& v, std::string_view path, bool recursive);

// Move or rename the entry at from: into the folder to when to names an
// existing folder, else to the new path to.
Result move_path(Volume& v, std::string_view from, std::string_view to);

// --- archives (libarchive builds; otherwise they fail saying so) -----------

// Whether this build reads and writes archives (libarchive was found).
bool archive_available();

// Write the folder at path (the whole volume for "/") into w: folders,
// files with their data streamed, each entry's type, links as links. The
// archive's names are relative to path; with include_top the folder's own
// name leads them.
Result export_tree(Volume& v, std::string_view path, ArchiveWriter& w, bool include_top,
                   const ProgressFn& progress = {});

// Opens the archive an import reads, afresh each time: it is read twice,
// once to check that everything fits and once to write. false with why.
using ArchiveOpen = std::function<bool(ArchiveReader& r, std::string* why)>;

// Read every entry of the archive into the folder at folder (made when
// missing), with the names, types, links and data an export wrote (the
// type given in opt, when given, for every file; else the archive's, else
// the default); audio converted with opt.audio. Nothing is written unless
// all of it fits and no name clashes (unless skip or replace).
Result import_tree(Volume& v, const ArchiveOpen& open, std::string_view folder, const PutOptions& opt,
                   const ProgressFn& progress = {});

// --- listing ----------------------------------------------------------------

// One listed entry, as `zvk ls --json` prints it (the field names below
// are those of the JSON objects).
struct Row {
    std::string path;             // "path": volume path of the entry
    std::string name;             // "name": host name (folder_listing)
    int slot = 0;                 // "slot": entry number, 0-38
    int type = 0;                 // "type": type number
    std::string type_name;        // "type_name": "instr tlm", "folder", ...
    bool folder = false;          // "folder"
    std::uint64_t blocks = 0;     // "blocks": blocks of the chain (2 for a folder)
    std::uint64_t entries = 0;    // "entries": a folder's entry count (0 for a file)
    std::uint64_t first = 0;      // "first": first block
    std::uint64_t contiguous = 0; // "contiguous": leading run of consecutive blocks
    std::uint32_t links = 1;      // "links": entries on the volume that name this chain
};

// The rows of the folder at path (or the one row of the file it names),
// links counted over the whole volume.
Result list_folder(Volume& v, std::string_view path, std::vector<Row>* rows);

// The JSON object of one row, on one line, without a trailing newline.
std::string row_json(const Row& r);

// Trimmed name of a type, as in Row::type_name.
std::string type_label(std::uint8_t type);

}  // namespace zvk
