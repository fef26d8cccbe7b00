// Copies from volumes onto the host: every name made safe inside the
// target folder, files written whole or not at all, each file's type kept
// in its user.zvk.type attribute.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "copy_src.h"

namespace zvk {

namespace {

constexpr const char TYPE_ATTR[] = "user.zvk.type";

enum class HAct { add, replace, merge, failed };

struct HPlaced {
    const Src* s = nullptr;
    std::string target;
    HAct act = HAct::add;
};

// What to do where the target is there already: false when left out.
bool host_clash(Copy& c, HPlaced& p, const struct stat& st) {
    const bool there_dir = S_ISDIR(st.st_mode);
    if (p.s->dir && there_dir) {
        p.act = HAct::merge;
        return true;
    }
    if (c.opt.clash == Clash::skip) {
        ++c.out.skipped;
        c.say("skip " + p.target + " (there already)");
        return false;
    }
    if (p.s->dir || there_dir) {
        c.problem(p.target, p.s->dir ? "a file of that name is there" : "a folder of that name is there");
        return false;
    }
    if (c.opt.clash == Clash::stop) {
        c.problem(p.target, "file exists (-n skips, -f replaces)");
        return false;
    }
    p.act = HAct::replace;
    return true;
}

mode_t current_umask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

bool place_host(Copy& c, const Src& s, const std::string& folder, bool exists, HPlaced* p) {
    if (s.dir && !c.opt.recursive && s.kind != Src::Kind::group)
        return c.error(s.shown, "is a folder (cp -r copies folders)"), false;
    if (s.kind == Src::Kind::volume && !s.dir && s.blocks() == 0) return c.error(s.shown, "file of no blocks"), false;
    p->s = &s;
    p->target = join_path(folder, s.as.empty() ? host_safe_name(s.listed) : s.as);
    struct stat st;
    if (exists && ::lstat(p->target.c_str(), &st) == 0) return host_clash(c, *p, st);
    return true;
}

// A new host file for the data: the target itself, or for a replacement a
// temporary file beside it that takes the target's place once complete
// (so a failed replacement leaves the old file). The descriptor, or -1.
int open_target(const HPlaced& p, std::string* temp) {
    if (p.act != HAct::replace) return ::open(p.target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    *temp = p.target + ".zvk-XXXXXX";
    const int fd = ::mkstemp(temp->data());
    if (fd >= 0) ::fchmod(fd, 0666 & ~current_umask());
    return fd;
}

// Write the file of source s at target: the whole of it, or nothing left.
void write_host(Copy& c, const HPlaced& p) {
    const Src& s = *p.s;
    std::string temp;
    const int fd = open_target(p, &temp);
    if (fd < 0) return c.error(p.target, std::strerror(errno));
    const std::string& written = temp.empty() ? p.target : temp;
    std::vector<BlockRun> runs;
    const std::uint8_t* e = s.entry.data();
    const char* why = nullptr;
    if (chain_map(*s.vol, entry_start(e), entry_contiguous(e), entry_size(e), Direction::read, runs) < 0)
        why = fs_strerror(FsErr::damaged);
    else if (runs_to_host(*s.vol, runs, fd) != 0)
        why = "could not be written";
    else
        host_type_set(fd, s.type());
    if (::close(fd) != 0 && !why) why = std::strerror(errno);
    if (!why && !temp.empty() && ::rename(temp.c_str(), p.target.c_str()) != 0) why = std::strerror(errno);
    if (why) {
        ::unlink(written.c_str());
        return c.error(why == fs_strerror(FsErr::damaged) ? s.shown : p.target, why);
    }
    ++(p.act == HAct::replace ? c.out.replaced : c.out.made);
    c.tick(s.bytes);
    c.say(s.shown + " -> " + p.target);
}

void act_host(Copy& c, HPlaced& p) {
    if (c.mode == Mode::plan) {
        if (p.s->dir) return;
        c.host_bytes += p.s->bytes;
        ++c.progress.files_total;
        c.progress.bytes_total += p.s->bytes;
        return;
    }
    if (c.mode == Mode::dry) {
        if (p.act == HAct::add && p.s->dir) c.say("make folder " + p.target);
        if (!p.s->dir) c.say((p.act == HAct::replace ? "replace " + p.target + " with " : "copy ") + p.s->shown +
                             (p.act == HAct::replace ? "" : " -> " + p.target));
        return;
    }
    if (p.act == HAct::add && p.s->dir) {
        if (::mkdir(p.target.c_str(), 0777) != 0) {
            p.act = HAct::failed;
            return c.error(p.target, std::strerror(errno));
        }
        ++c.out.made;
        c.say("made folder " + p.target);
        return;
    }
    if (!p.s->dir) write_host(c, p);
}

}  // namespace

void to_host(Copy& c, const std::vector<Src>& items, const std::string& folder, bool exists, int depth) {
    std::vector<HPlaced> placed;
    for (const Src& s : items) {
        HPlaced p;
        if (place_host(c, s, folder, exists, &p)) placed.push_back(p);
    }
    for (HPlaced& p : placed) act_host(c, p);
    for (const HPlaced& p : placed) {
        if (!p.s->dir || p.act == HAct::failed || !enter_source(c, *p.s, depth)) continue;
        std::vector<Src> kids;
        if (!children_of(c, *p.s, &kids)) continue;
        const bool on_volume = p.s->kind == Src::Kind::volume;
        if (on_volume) c.along.push_back(p.s->root ? ROOT_DIR_BLOCK : entry_start(p.s->entry.data()));
        to_host(c, kids, p.target, p.act == HAct::merge || c.mode == Mode::real, depth + 1);
        if (on_volume) c.along.pop_back();
    }
}

void run_host_copy(Copy& c, std::vector<Src>& items, const Location& dst) {
    std::string folder;
    if (!dest_host(c, items, dst, &folder)) return;
    c.mode = Mode::plan;
    to_host(c, items, folder, true, 0);
    struct statvfs fs;
    if (::statvfs(folder.c_str(), &fs) == 0) {
        const std::uint64_t free = std::uint64_t{fs.f_bavail} * fs.f_frsize;
        if (c.host_bytes > free)
            c.problem(folder, "copy needs " + std::to_string(c.host_bytes) + " bytes, " + std::to_string(free) +
                                  " are free");
    }
    if (!c.problems.empty()) return;
    c.out.files = c.progress.files_total;
    c.out.bytes = c.progress.bytes_total;
    c.mode = c.opt.dry_run ? Mode::dry : Mode::real;
    c.visits = 0;
    to_host(c, items, folder, true, 0);
}

int host_type(const std::string& path) {
    char buf[8] = {};
    const ssize_t n = ::getxattr(path.c_str(), TYPE_ATTR, buf, sizeof buf - 1);
    if (n <= 0) return -1;
    char* end = nullptr;
    const long t = std::strtol(buf, &end, 10);
    return end != buf && *end == '\0' && t >= 0 && t <= 255 ? static_cast<int>(t) : -1;
}

void host_type_set(int fd, std::uint8_t type) {
    const std::string v = std::to_string(type);
    // Where the host keeps no attributes the type is simply not kept.
    (void)::fsetxattr(fd, TYPE_ATTR, v.data(), v.size(), 0);
}

}  // namespace zvk
