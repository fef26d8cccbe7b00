// Many new entries across many folders, made with one barrier, as a bulk
// copy or an import of whole trees wants them.
//
// Entries go into folders that exist (each given once with existing()) and
// into new folders made in the batch (folder()), to any depth. Each chain is
// linked and filled as it is added and each new folder is written onto its
// own two blocks, all of it named by no entry yet. commit() then raises the
// count of every existing folder that gets entries, makes everything
// durable with one barrier, and stores the new entries of each existing
// folder, each of its blocks written once. A crash before that last step
// leaves blocks that no entry names and counts that are too high; after
// it, the entries of each existing folder are all there.
//
// Memory: the images of existing folders and of a few open new folders
// (the others are written and read back when more entries come); a few
// bytes for every other folder and chain. A caller with a very large tree
// commits when held() grows and starts a new batch.
//
// While a batch is open the caller changes none of its existing folders in
// any other way (the batch writes its own copy of their images).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "fsys.h"

class TreeBatch {
public:
    explicit TreeBatch(Volume& v);
    // Not committed: every chain it made is given back.
    ~TreeBatch();
    TreeBatch(const TreeBatch&) = delete;
    TreeBatch& operator=(const TreeBatch&) = delete;

    // The existing folder f as a place for new entries: its handle, the
    // same one when f (by first block) was given before.
    int existing(const Folder& f);
    // A new folder named name in handle parent: its handle, or -1 with
    // *err (read_only, bad_slot, no_space, write_error, ...).
    int folder(int parent, const RawName& name, FsErr* err);
    // A new entry in handle parent: with e.first 0 a chain of e.blocks
    // blocks (a leading run of e.contiguous wanted) filled by fill now,
    // else a link to the chain at e.first. ok with *slot, e.first and
    // e.contiguous naming the chain; or the failure with nothing left behind.
    FsErr add(int parent, NewEntry& e, const ChainFill& fill, int* slot = nullptr);
    // The new folder h is complete for now: written, its image let go.
    FsErr close(int h);
    // Bytes of memory the batch holds, about.
    std::size_t held() const;
    // Make it all: ok, or the first failure (result() tells which parts).
    FsErr commit();
    // After commit: whether the entries under handle h were made (those
    // under one existing folder are made together or not at all).
    FsErr result(int h) const;

private:
    struct Node;
    struct Owned {
        std::uint64_t start, blocks;
        int top;
    };
    Volume& v_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<Owned> owned_;
    std::unordered_map<std::uint64_t, int> tops_;  // existing folders by first block
    std::unordered_map<std::uint64_t, int> owner_; // chains made, by first block: the existing folder they lie under
    std::vector<int> open_;                        // new folders whose image is held
    FsErr broken_ = FsErr::ok;  // a new folder could not be written: nothing is made
    bool done_ = false;
    std::uint64_t clock_ = 0;

    FsErr usable(int h) const;
    FsErr open(int h);
    void place(int parent, int slot, const std::uint8_t* entry);
    void count_to_parent(const Node& n);
    void close_some();
    FsErr close_all();
    Folder* parent_top(const Node& n);
    void raise_counts();
    void store_entries(Node& n);
    void give_back(int top);
};
