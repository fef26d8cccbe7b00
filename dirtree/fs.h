// The whole state of one zvkfm session: the open volume, the working
// directory (a folder of the volume with the path from the root that leads
// to it) and the buffer that names are normalized into. Every change of
// the volume goes through the file system layer (fsys.h); the path is the
// shell's own.
#pragma once

#include <array>
#include <cstdint>

#include "format.h"
#include "fsys.h"
#include "volume.h"

// One directory on the path from the root to the working directory.
struct PathNode {
    std::array<char, NAME_LEN + 1> name{};  // as stored in its entry, NUL-terminated
    int number = 0;                         // entry number in the parent (0 for the root)
    std::uint64_t start = ROOT_DIR_BLOCK;   // first block of the directory
    PathNode* previous = nullptr;
    PathNode* next = nullptr;  // owned: freed when the path leaves it
};

// The working directory as a folder of the layer (start, parent and name
// those of the path's last node and the one before it), with its image;
// loaded is false when no directory is held (a blank volume, or the root
// could not be read again), and the image is then never written back.
struct WorkDir : Folder {
    PathNode root;                  // always present: "ROOT" and eight spaces, number 0, block 3
    PathNode* current_dir = &root;  // last node of the path

    WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    ~WorkDir();
};

struct Fs {
    Volume vol;
    WorkDir wd;
    // Filled only by name_normalize; bytes beyond the width written keep
    // their content, so after a 12-wide call it reads as a 12-character string.
    std::array<char, 16> name_buffer{};
};

// The working directory is the root when its first block is block 3.
inline bool in_root(const Fs& fs) { return fs.wd.current_dir->start == ROOT_DIR_BLOCK; }
