#include "served.h"

#include <fcntl.h>
#include <unistd.h>

#include "fat.h"
#include "fsys.h"
#include "platform.h"

namespace {

std::string last_component(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the header blocks describe a volume this program can walk.
bool holds_volume(const Volume& v) {
    const std::uint32_t total = total_blocks(v);
    return total > ROOT_DIR_BLOCK + 2 && data_start(total) < total;
}

// Open one image as the options and the other programs allow: 0, or -1
// (cannot be opened), -2 (headers unreadable).
int open_one(Served& s, bool read_only) {
    s.vol.bulk = true;
    if (read_only) {
        s.read_only_why = "served read-only (--read-only)";
        return volume_open_readonly(s.vol, s.path.c_str());
    }
    const int r = volume_open_exclusive(s.vol, s.path.c_str());
    if (r == 0 && platform_device_readonly(s.vol.fd) != 1) return 0;
    if (r == -2) return -2;
    if (r == 0) s.read_only_why = "the device is write-protected";
    else if (r == -3) s.read_only_why = "in use by another program, so served read-only";
    else s.read_only_why = "cannot be opened for writing";
    s.held_elsewhere = r == -3;
    return volume_open_readonly(s.vol, s.path.c_str());
}

}  // namespace

bool served_open(const std::vector<std::string>& paths, bool read_only, std::vector<std::unique_ptr<Served>>* out,
                 std::string* why) {
    for (const std::string& p : paths) {
        auto s = std::make_unique<Served>();
        s->path = p;
        s->name = last_component(p);
        const int r = open_one(*s, read_only);
        if (r == -1) {
            *why = "can't open `" + p + "'";
            return false;
        }
        if (r != 0 || !holds_volume(s->vol)) {
            *why = "`" + p + "' holds no volume (its header blocks are unreadable or empty)";
            return false;
        }
        out->push_back(std::move(s));
    }
    return true;
}

bool reader_open(Served& s, Volume& r) {
    const int fd = ::fcntl(s.vol.fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return false;
    if (r.fd >= 0) ::close(r.fd);
    r.fd = fd;
    r.read_only = true;
    r.locked = false;
    fat_cache_reset(r);
    return block_read(r, r.devid.data(), 1) == 0 && block_read(r, r.os.data(), 2) == 0;
}

bool served_reopen(Served& s) {
    if (s.vol.fd >= 0) ::close(s.vol.fd);
    s.vol.fd = -1;
    const int r = volume_open_exclusive(s.vol, s.path.c_str());
    s.held_elsewhere = r == -3;
    if (r == 0) return true;
    s.read_only_why = r == -3 ? "in use by another program, so served read-only" : "cannot be opened for writing";
    volume_open_readonly(s.vol, s.path.c_str());
    return false;
}

bool served_writable(Served& s, std::string* why) {
    // Taken again only when nothing reads it at the moment; a later request
    // tries again.
    std::unique_lock<std::shared_mutex> retake(s.access, std::defer_lock);
    // Still held, the attempt leaves it served read-only as before.
    if (s.held_elsewhere && retake.try_lock() && s.held_elsewhere && served_reopen(s)) s.read_only_why.clear();
    if (retake.owns_lock()) retake.unlock();
    std::shared_lock<std::shared_mutex> look(s.access);
    *why = s.read_only_why;
    return why->empty();
}
