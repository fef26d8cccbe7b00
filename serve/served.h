// The volumes being served: the handle every change goes through, the lock
// that keeps changes one at a time, and read handles for everything else.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "volume.h"

struct Served {
    std::string path;  // as named on the command line
    std::string name;  // its last component, for the page
    Volume vol;        // the handle changes go through (read-only when they may not)
    // Why the page may not change the volume; empty when it may.
    std::string read_only_why;
    // Served read-only because another program held its lock: taken again
    // once that program lets go.
    std::atomic<bool> held_elsewhere{false};
    // A change holds it exclusively (the others queue), everything that
    // only reads holds it shared, each through a handle of its own.
    std::shared_mutex access;
    std::uint64_t generation = 0;  // raised by every change, under access

    bool writable() const { return read_only_why.empty(); }
};

// Open every image, each read-write with the advisory lock unless
// read_only, or read-only (with the reason) when another program holds it
// or it cannot be written: false with *why when one cannot be served.
bool served_open(const std::vector<std::string>& paths, bool read_only, std::vector<std::unique_ptr<Served>>* out,
                 std::string* why);

// A read-only handle on the same open file, with a FAT cache of its own,
// for one request that holds access shared: false when it cannot be had.
bool reader_open(Served& s, Volume& r);

// Reopen the change handle after zvkfsck repaired the volume through a
// handle of its own (so the header images and FAT cache are fresh): false
// when the volume could not be locked again (it is then served read-only).
bool served_reopen(Served& s);

// Whether s may be changed now, taking the lock again first when another
// program held it and has let go; else false with *why. The caller holds
// nothing of s.
bool served_writable(Served& s, std::string* why);

