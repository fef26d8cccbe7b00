// The sources and the state of a copy, shared by its two halves (copy.cpp
// walks the sources into a volume, copy_host.cpp onto the host).
#pragma once

#include <memory>
#include <unordered_map>

#include "engine.h"
#include "tree.h"

namespace zvk {

// One thing to copy: a host file or folder, a volume entry, bytes in
// memory, or a group (the folder a copy makes for several sources).
struct Src {
    enum class Kind { host, volume, buffer, group } kind = Kind::host;
    std::string shown;  // for messages
    bool dir = false;
    bool special = false;  // a host file that is neither regular nor a folder
    std::string host;      // host path
    Volume* vol = nullptr;
    std::string image;     // the image, for messages
    std::string vpath;     // volume path
    std::string listed;    // listed name (volume)
    std::uint64_t folder = 0;         // first block of the holding folder
    std::uint64_t folder_parent = 0;  // and of its parent
    RawName folder_name{};
    bool root = false;  // the root of a volume
    std::array<std::uint8_t, DIR_ENTRY_SIZE> entry{};
    const std::uint8_t* data = nullptr;
    std::string base;         // its name: host base name or listed name
    std::uint64_t bytes = 0;  // the size of a host file or buffer; blocks * 512 on a volume
    bool contents = false;    // top level: a folder whose content is copied (a trailing '/')
    std::string as;           // top level: the name it gets at the destination
    std::shared_ptr<std::vector<Src>> members;  // a group's sources

    std::uint64_t blocks() const;
    std::uint8_t type() const { return entry[entry_field::TYPE]; }
};

enum class Mode { plan, dry, real };

struct Copy {
    Copy(const CopyOptions& o, const Report& r) : opt(o), report(r) {}
    const CopyOptions& opt;
    const Report& report;
    Mode mode = Mode::plan;
    CopyOutcome out;
    Volume* dst = nullptr;  // the destination volume, null for the host
    std::uint64_t blocks_needed = 0;
    std::uint64_t host_bytes = 0;
    std::vector<std::string> problems;  // "PATH\tWHY": refusals of the whole copy
    FsErr problem_err = FsErr::ok;      // the code of the first refusal that has one
    Progress progress;
    std::vector<std::uint64_t> along;  // source folders on the current path (one volume)
    std::uint64_t visits = 0;
    std::unordered_map<std::string, std::uint64_t> instrument_bytes;  // sound files converted by the first pass
    // The writing pass into a volume: the batch the new entries go into,
    // how many batches were committed, and what each new entry says once
    // its batch is (handle: where it went).
    std::unique_ptr<TreeBatch> batch;
    std::uint64_t batches = 0;
    struct Made {
        int handle;
        std::string dest, line;
    };
    std::vector<Made> made;

    // code: the layer's code for the failure, when one fits (the first
    // one given becomes CopyOutcome::err).
    void error(const std::string& path, const std::string& why, FsErr code = FsErr::ok);
    void problem(const std::string& path, const std::string& why, FsErr code = FsErr::ok);
    void say(const std::string& line);
    void tick(std::uint64_t bytes);
};

// The sources inside a folder source, in listing order (host: by name);
// false after reporting when it cannot be read.
bool children_of(Copy& c, const Src& d, std::vector<Src>* out);

// A source for the host path (following links), for messages as shown.
Src host_src(const std::string& path, const std::string& name);

// The Src of entry slot of folder f (whose path is at).
Src volume_src(Volume& v, const Folder& f, int slot, const std::string& listed, const std::string& at,
               const std::string& image);

// Walk items into the host folder at path (exists: it is there already).
void to_host(Copy& c, const std::vector<Src>& items, const std::string& path, bool exists, int depth);

// Whether descending into the volume folder src may go on (no loop, not
// too deep, not too many folders); reports otherwise.
bool enter_source(Copy& c, const Src& s, int depth);

std::string join_path(const std::string& folder, const std::string& name);

// The top level of a copy: the sources as given (false after reporting).
bool source_items(Copy& c, const std::vector<Location>& sources, std::vector<Src>* out);

// Where the sources go on a volume: the folder (a Match of expand) that
// receives the items, which are rewritten by the rules of the command
// line (a folder's content, a new name, a new folder for several sources).
// false after reporting (nothing is written).
bool dest_volume(Copy& c, std::vector<Src>& items, const Location& dst, Match* folder);
// The same on the host: the folder path that receives the items.
bool dest_host(Copy& c, std::vector<Src>& items, const Location& dst, std::string* folder);

// The passes of a copy into a volume, and onto the host.
void run_volume_copy(Copy& c, std::vector<Src>& items, const Location& dst);
void run_host_copy(Copy& c, std::vector<Src>& items, const Location& dst);

}  // namespace zvk
