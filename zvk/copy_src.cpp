// The sources of a copy: host files and folders, volume entries, buffers,
// and what a folder source holds.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "copy_src.h"

namespace zvk {

namespace {

// Host folders holding more entries than this are refused unread.
constexpr std::size_t MAX_HOST_ENTRIES = 4096;

// The names in the host folder at path, sorted: 0 or an errno value.
int host_names(const std::string& path, std::vector<std::string>* names) {
    DIR* d = ::opendir(path.c_str());
    if (!d) return errno;
    int err = 0;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (names->size() == MAX_HOST_ENTRIES) {
            err = E2BIG;
            break;
        }
        names->emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names->begin(), names->end());
    return err;
}

}  // namespace

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::uint64_t Src::blocks() const {
    if (kind == Kind::volume) return dir ? 2 : entry_size(entry.data());
    return (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
}

void Copy::error(const std::string& path, const std::string& why, FsErr code) {
    if (mode == Mode::plan) return;  // said again by the pass that acts
    ++out.failed;
    if (out.err == FsErr::ok) out.err = code;
    if (report.error) report.error(path, why);
}

void Copy::problem(const std::string& path, const std::string& why, FsErr code) {
    if (mode != Mode::plan) return error(path, why, code);
    problems.push_back(path + '\t' + why);
    if (problem_err == FsErr::ok) problem_err = code;
}

void Copy::say(const std::string& line) {
    if (report.say && (mode == Mode::dry || (mode == Mode::real && opt.verbose))) report.say(line);
}

void Copy::tick(std::uint64_t bytes) {
    ++progress.files_done;
    progress.bytes_done += bytes;
    if (report.progress) report.progress(progress);
}

Src host_src(const std::string& path, const std::string& name) {
    Src s;
    s.kind = Src::Kind::host;
    s.host = path;
    s.shown = path;
    s.base = name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        s.special = true;
        return s;
    }
    s.dir = S_ISDIR(st.st_mode);
    s.special = !s.dir && !S_ISREG(st.st_mode);
    s.bytes = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    return s;
}

Src volume_src(Volume& v, const Folder& f, int slot, const std::string& listed, const std::string& at,
               const std::string& image) {
    Src s;
    s.kind = Src::Kind::volume;
    s.vol = &v;
    s.image = image;
    s.listed = listed;
    s.base = listed;
    s.vpath = join_path(at, display_name(listed));
    s.shown = shown(image, s.vpath);
    s.folder = f.start;
    s.folder_parent = f.parent;
    s.folder_name = f.name;
    std::memcpy(s.entry.data(), folder_entry(f, slot), DIR_ENTRY_SIZE);
    s.dir = s.type() == TYPE_SUBDIR;
    s.bytes = s.dir ? 0 : std::uint64_t{entry_size(s.entry.data())} * BLOCK_SIZE;
    return s;
}

bool enter_source(Copy& c, const Src& s, int depth) {
    if (s.kind != Src::Kind::volume) return depth < MAX_DEPTH || (c.error(s.shown, "folders nested too deep"), false);
    const std::uint64_t start = s.root ? ROOT_DIR_BLOCK : entry_start(s.entry.data());
    if (std::find(c.along.begin(), c.along.end(), start) != c.along.end()) {
        c.error(s.shown, "folder holds itself through a link; not entered again");
        return false;
    }
    if (depth >= MAX_DEPTH || ++c.visits > total_blocks(*s.vol)) {
        c.error(s.shown, "folders nested too deep");
        return false;
    }
    return true;
}

namespace {

bool host_children(Copy& c, const Src& d, std::vector<Src>* out) {
    std::vector<std::string> names;
    if (int e = host_names(d.host, &names); e != 0) {
        if (e == E2BIG) c.problem(d.shown, "more than 4096 entries");
        else c.error(d.shown, std::strerror(e));
        return false;
    }
    for (const std::string& n : names) out->push_back(host_src(join_path(d.host, n), n));
    return true;
}

bool volume_children(Copy& c, const Src& d, std::vector<Src>* out) {
    Folder f;
    RawName name;
    std::memcpy(name.data(), d.entry.data() + entry_field::NAME, NAME_LEN);
    const FsErr e = d.root ? folder_read_root(*d.vol, &f)
                           : folder_read(*d.vol, entry_start(d.entry.data()), d.folder, name, &f);
    if (e != FsErr::ok) {
        c.error(d.shown, fs_strerror(e));
        return false;
    }
    for (const auto& [slot, listed] : folder_listing(f.image))
        out->push_back(volume_src(*d.vol, f, slot, listed, d.vpath, d.image));
    return true;
}

}  // namespace

bool children_of(Copy& c, const Src& d, std::vector<Src>* out) {
    out->clear();
    switch (d.kind) {
    case Src::Kind::host: return host_children(c, d, out);
    case Src::Kind::volume: return volume_children(c, d, out);
    case Src::Kind::group: *out = *d.members; return true;
    case Src::Kind::buffer: return true;
    }
    return true;
}

}  // namespace zvk
