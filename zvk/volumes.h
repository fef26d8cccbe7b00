// The volumes one command works on: each image opened once (the same file
// under two names too), read-only for reading, read-write with the lock
// for a change, and checked to hold a file system.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "volume.h"

namespace zvk {

class VolumeSet {
public:
    // Note that image is needed, for a change when write.
    void want(const std::string& image, bool write);
    // Open every image wanted: false when one cannot be, with why (one
    // line per image: "IMAGE\tREASON").
    bool open_all(std::vector<std::string>* why);
    // The open volume of an image wanted, or null.
    Volume* get(const std::string& image);
    // Whether two images are the same open volume.
    bool same(const std::string& a, const std::string& b) { return get(a) && get(a) == get(b); }
    // Write back and make durable what the changed volumes hold.
    void finish();

private:
    struct Entry {
        std::string image;
        bool write = false;
        std::shared_ptr<Volume> vol;
    };
    std::vector<Entry> list_;
};

}  // namespace zvk
