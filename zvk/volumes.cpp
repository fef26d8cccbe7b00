// Opening the volumes of a command.
#include "volumes.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "engine.h"
#include "fat.h"
#include "platform.h"

namespace zvk {

std::string not_a_volume(Volume& v) {
    const std::uint32_t total = total_blocks(v);
    if (total <= data_start(total) || total > (1u << 24))
        return "not a volume (its block count, " + std::to_string(total) + ", holds no file system)";
    Folder root;
    if (folder_read_root(v, &root) != FsErr::ok) return "not a volume (its root folder cannot be read)";
    if (root.image[DIR_SIGNATURE] != 'D' || root.image[DIR_SIGNATURE + 1] != 'R')
        return "not a volume (no file system; zvk format makes one)";
    return {};
}

void VolumeSet::want(const std::string& image, bool write) {
    for (Entry& e : list_)
        if (e.image == image) {
            e.write = e.write || write;
            return;
        }
    list_.push_back({image, write, nullptr});
}

namespace {

std::string open_error(int r, bool write) {
    if (r == -3) return "in use by another program (it holds the volume's lock)";
    if (r == -2) return "not a volume (its header blocks cannot be read)";
    if (write && (errno == EACCES || errno == EROFS || errno == EPERM)) return "read-only: it cannot be changed";
    return std::strerror(errno);
}

// Open one image: empty, or why not.
std::string open_one(Volume& v, const std::string& image, bool write) {
    errno = 0;
    const int r = write ? volume_open_exclusive(v, image.c_str()) : volume_open_readonly(v, image.c_str());
    if (r != 0) return open_error(r, write);
    v.bulk = true;
    if (write && platform_device_readonly(v.fd) == 1) return "read-only device: it cannot be changed";
    return not_a_volume(v);
}

}  // namespace

bool VolumeSet::open_all(std::vector<std::string>* why) {
    // The same file under two names is one volume, changed when either is.
    std::vector<std::pair<dev_t, ino_t>> ids(list_.size());
    for (std::size_t i = 0; i < list_.size(); ++i) {
        struct stat st;
        if (::stat(list_[i].image.c_str(), &st) == 0) ids[i] = {st.st_dev, st.st_ino};
        for (std::size_t j = 0; j < i; ++j)
            if (ids[j] == ids[i] && ids[i].second != 0) list_[j].write = list_[i].write = list_[i].write || list_[j].write;
    }
    bool ok = true;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        for (std::size_t j = 0; j < i && !list_[i].vol; ++j)
            if (ids[j] == ids[i] && ids[i].second != 0) list_[i].vol = list_[j].vol;
        if (list_[i].vol) continue;
        auto v = std::make_shared<Volume>();
        const std::string e = open_one(*v, list_[i].image, list_[i].write);
        if (!e.empty()) {
            why->push_back(list_[i].image + '\t' + e);
            ok = false;
            continue;
        }
        list_[i].vol = v;
    }
    return ok;
}

Volume* VolumeSet::get(const std::string& image) {
    for (Entry& e : list_)
        if (e.image == image) return e.vol.get();
    return nullptr;
}

void VolumeSet::finish() {
    for (Entry& e : list_) {
        if (!e.vol || !e.write || e.vol->read_only || e.vol->fd < 0) continue;
        fat_command_end(*e.vol);
        if (e.vol->unsynced) volume_sync(*e.vol);
        e.vol->unsynced = false;
    }
}

}  // namespace zvk
