// The volume layer: resolving paths, creating, removing, moving and
// replacing entries, batches and the order of a folder's two writes. Built
// against the fault layer, whose write log shows that order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fat.h"
#include "fixture.h"
#include "fsys.h"
#include "tree.h"

namespace {

// Every volume write of this process, in order (see volume/platform.h); set
// before the first write, so the fault layer logs from the start.
const std::string kLog = "/tmp/zvkfsys-" + std::to_string(::getpid()) + ".log";
const bool kLogSet = ::setenv("ZVK_FAULT_LOG", kLog.c_str(), 1) == 0 && std::atexit([] { std::remove(kLog.c_str()); }) == 0;

std::vector<std::uint8_t> log_bytes() {
    std::ifstream in(kLog, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The blocks written after byte from of the log, a barrier as -1.
std::vector<std::int64_t> writes_since(std::size_t from) {
    const std::vector<std::uint8_t> log = log_bytes();
    std::vector<std::int64_t> out;
    for (std::size_t i = from; i + 17 <= log.size();) {
        std::uint64_t off = 0, len = 0;
        for (int k = 7; k >= 0; --k) {
            off = off << 8 | log[i + 1 + k];
            len = len << 8 | log[i + 9 + k];
        }
        if (log[i] == 'B') out.push_back(-1);
        for (std::uint64_t b = 0; log[i] == 'W' && b < len / BLOCK_SIZE; ++b)
            out.push_back(static_cast<std::int64_t>(off / BLOCK_SIZE + b));
        i += 17 + len;
    }
    return out;
}

RawName raw(const char* name) {
    RawName r;
    EXPECT_EQ(name_encode(name, r), 0);
    return r;
}

NewEntry file(const char* name, std::uint64_t blocks, std::uint64_t first = 0) {
    NewEntry n;
    n.name = raw(name);
    n.type = 3;
    n.blocks = first ? 1 : blocks;
    n.size = blocks;
    n.contiguous = 1;
    n.first = first;
    return n;
}

// A 400-block volume with its root.
class Fsys : public ::testing::Test {
protected:
    ScratchVolume sv{400};
    Volume& v = sv.fs.vol;
    Folder root;
    void SetUp() override {
        ASSERT_TRUE(kLogSet);
        sv.open();
        ASSERT_EQ(folder_read_root(v, &root), FsErr::ok);
    }
    // A file of blocks blocks as entry slot of f, each block filled with tag.
    std::uint32_t put(Folder& f, int slot, const char* name, std::uint64_t blocks, std::uint8_t tag = 7) {
        std::vector<std::uint8_t> data(blocks * BLOCK_SIZE, tag);
        EXPECT_EQ(fs_create(v, f, slot, file(name, blocks), fill_from_buffer(v, data.data(), data.size(), blocks)),
                  FsErr::ok);
        return entry_start(folder_entry(f, slot));
    }
    Folder folder(Folder& parent, int slot, const char* name) {
        EXPECT_EQ(fs_make_folder(v, parent, slot, raw(name)), FsErr::ok);
        Folder f;
        EXPECT_EQ(folder_child(v, parent, slot, &f), FsErr::ok);
        return f;
    }
    // The count of the folder at entry slot of f, as on the volume.
    std::uint16_t count(const Folder& f, int slot) {
        Folder again;
        EXPECT_EQ(folder_read(v, f.start, f.parent, f.name, &again), FsErr::ok);
        return entry_size(folder_entry(again, slot));
    }
};

TEST_F(Fsys, ResolveNamesEscapesDuplicatesAndMissingParts) {
    put(root, 1, "KICK", 1);
    put(root, 3, "KICK", 1);
    NewEntry odd = file("A", 1);
    std::memcpy(odd.name.data(), "A/B 100%    ", NAME_LEN);
    ASSERT_EQ(fs_create(v, root, 2, odd, {}), FsErr::ok);
    Folder drums = folder(root, 4, "DRUMS");
    put(drums, 1, "SNARE", 1);
    ASSERT_EQ(folder_read_root(v, &root), FsErr::ok);
    const std::uint64_t changes = v.changes;

    Lookup l;
    ASSERT_EQ(fs_resolve(v, "/", &l), FsErr::ok);
    EXPECT_TRUE(l.root);
    const std::pair<const char*, int> found[] = {
        {"/KICK", 1}, {"kick", 1}, {"/KICK%#3", 3}, {"/A%2FB 100%25", 2}, {"/DRUMS/SNARE", 1}, {"DRUMS/snare/", 1}};
    for (const auto& [path, slot] : found) {
        ASSERT_EQ(fs_resolve(v, path, &l), FsErr::ok) << path;
        EXPECT_EQ(l.slot, slot) << path;
        EXPECT_FALSE(l.root) << path;
    }
    EXPECT_EQ(l.folder.start, drums.start);
    EXPECT_EQ(l.folder.parent, ROOT_DIR_BLOCK);
    ASSERT_EQ(fs_resolve(v, "/DRUMS/hat", &l), FsErr::ok) << "a missing last component";
    EXPECT_EQ(l.slot, -1);
    EXPECT_EQ(l.name, raw("HAT"));
    EXPECT_EQ(fs_resolve(v, "/KICK/X", &l), FsErr::not_folder);
    EXPECT_EQ(fs_resolve(v, "/NONE/X", &l), FsErr::no_entry);
    EXPECT_EQ(fs_resolve(v, "/DRUMS/THIRTEENCHARS", &l), FsErr::name_too_long);
    Folder f;
    EXPECT_EQ(fs_open_folder(v, "/DRUMS", &f), FsErr::ok);
    EXPECT_EQ(f.start, drums.start);
    EXPECT_EQ(fs_open_folder(v, "/KICK", &f), FsErr::not_folder);
    EXPECT_EQ(fs_open_folder(v, "/HAT", &f), FsErr::no_entry);
    EXPECT_EQ(v.changes, changes) << "resolving writes nothing";
}

TEST_F(Fsys, RemoveReleasesAsAskedAndKeepsALinkedChain) {
    const std::uint32_t free0 = free_counter(v);
    const std::uint32_t a = put(root, 1, "A", 3);
    ASSERT_EQ(fs_create(v, root, 2, file("LINK", 3, a), {}), FsErr::ok);
    EXPECT_EQ(free_counter(v), free0 - 3) << "a link allocates nothing";
    ASSERT_EQ(fs_remove(v, root, 1, Release::chain_unshared), FsErr::ok);
    EXPECT_EQ(free_counter(v), free0 - 3) << "the link still names the chain";
    EXPECT_EQ(chain_of(v, a).size(), 3u);
    ASSERT_EQ(fs_remove(v, root, 2, Release::chain_unshared), FsErr::ok);
    EXPECT_EQ(free_counter(v), free0) << "the last name went";
    EXPECT_EQ(sv.fat_on_disk(a), FAT_FREE);

    const std::uint32_t b = put(root, 1, "B", 2);
    ASSERT_EQ(fs_remove(v, root, 1, Release::entry_only), FsErr::ok);
    EXPECT_EQ(free_counter(v), free0 - 2);
    EXPECT_EQ(sv.fat_on_disk(b), b + 1) << "the chain stays for whoever takes it";
    ASSERT_EQ(fs_chain_free(v, b, CHAIN_ALL), FsErr::ok);
    EXPECT_EQ(free_counter(v), free0);

    const std::uint32_t c = put(root, 1, "C", 2);
    ASSERT_EQ(fs_create(v, root, 2, file("LINK", 2, c), {}), FsErr::ok);
    ASSERT_EQ(fs_remove(v, root, 1, Release::chain), FsErr::ok);
    EXPECT_EQ(free_counter(v), free0) << "Release::chain frees under every name";
    EXPECT_EQ(fs_remove(v, root, 1, Release::chain), FsErr::no_entry);
    EXPECT_EQ(fs_remove(v, root, 39, Release::chain), FsErr::bad_slot);
    EXPECT_EQ(sv.errors(), "error: no file entry.\nerror: invalid filenr.\n");
    EXPECT_EQ(free_count_check(v, false), std::int64_t{free_counter(v)});
}

TEST_F(Fsys, MakeFolderWritesBothBlocksAndRaisesTheCount) {
    const std::uint32_t free0 = free_counter(v);
    Folder d = folder(root, 5, "d");
    const std::uint8_t* e = folder_entry(root, 5);
    EXPECT_EQ(entry_type(e), TYPE_SUBDIR);
    EXPECT_EQ(entry_size(e), 0);
    EXPECT_EQ(entry_contiguous(e), 2);
    EXPECT_EQ(chain_of(v, d.start), (std::vector<std::uint64_t>{d.start, d.start + 1}));
    EXPECT_EQ(free_counter(v), free0 - 2);
    const std::uint8_t* link = folder_entry(d, 0);
    EXPECT_EQ(entry_type(link), TYPE_PARENT);
    EXPECT_EQ(std::memcmp(link + entry_field::NAME, ROOT_NAME, NAME_LEN), 0);
    EXPECT_EQ(entry_contiguous(link), 5);
    EXPECT_EQ(entry_start(link), ROOT_DIR_BLOCK);
    EXPECT_EQ(d.image[DIR_SIGNATURE], 'D');
    EXPECT_EQ(d.image[DIR_SIGNATURE + 1], 'R');

    Folder inner = folder(d, 1, "e");
    EXPECT_EQ(count(root, 5), 1);
    EXPECT_EQ(entry_start(folder_entry(inner, 0)), d.start);
    EXPECT_EQ(std::memcmp(folder_entry(inner, 0) + entry_field::NAME, "D           ", NAME_LEN), 0);
}

TEST_F(Fsys, MoveFolderAcrossFoldersRelinksAndRefusesItself) {
    Folder a = folder(root, 1, "A");
    Folder b = folder(root, 2, "B");
    Folder m = folder(a, 1, "M");
    const std::uint32_t x = put(m, 1, "X", 1);
    Folder n = folder(m, 2, "N");
    ASSERT_EQ(folder_read(v, a.start, a.parent, a.name, &a), FsErr::ok);

    int made = -9;
    ASSERT_EQ(fs_move(v, a, 1, b, -1, nullptr, &made), FsErr::ok) << sv.errors();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(entry_type(folder_entry(a, 1)), TYPE_EMPTY);
    EXPECT_EQ(count(root, 1), 0);
    EXPECT_EQ(count(root, 2), 1);
    ASSERT_EQ(folder_child(v, b, 1, &m), FsErr::ok);
    const std::uint8_t* link = folder_entry(m, 0);
    EXPECT_EQ(entry_start(link), b.start);
    EXPECT_EQ(entry_contiguous(link), 1);
    EXPECT_EQ(std::memcmp(link + entry_field::NAME, "B           ", NAME_LEN), 0);
    EXPECT_EQ(entry_start(folder_entry(m, 1)), x) << "its entries stay";

    // Into itself, below itself, and through a link of itself: refused,
    // nothing written.
    ASSERT_EQ(folder_read_root(v, &root), FsErr::ok);
    NewEntry again = file("MLINK", 0, m.start);
    again.type = TYPE_SUBDIR;
    ASSERT_EQ(fs_create(v, root, 3, again, {}), FsErr::ok);
    Folder mlink;
    ASSERT_EQ(folder_child(v, root, 3, &mlink), FsErr::ok);
    ASSERT_EQ(folder_child(v, m, 2, &n), FsErr::ok);
    const std::uint64_t changes = v.changes;
    EXPECT_EQ(fs_move(v, b, 1, m, -1, nullptr, &made), FsErr::into_itself);
    EXPECT_EQ(fs_move(v, b, 1, n, -1, nullptr, &made), FsErr::into_itself);
    EXPECT_EQ(fs_move(v, b, 1, mlink, -1, nullptr, &made), FsErr::into_itself);
    EXPECT_EQ(made, -1);
    EXPECT_EQ(v.changes, changes);
    // Entry 0 moves when it is the root's file, never as a parent link.
    put(root, 0, "OS", 1);
    ASSERT_EQ(folder_child(v, root, 1, &a), FsErr::ok);
    EXPECT_EQ(fs_move(v, root, 0, a, -1), FsErr::ok);
    EXPECT_EQ(fs_move(v, m, 0, a, -1), FsErr::is_root);
    EXPECT_EQ(sv.errors(), "error: can't move parent-directory.\n");
}

TEST_F(Fsys, BatchWritesTheFolderOnceAndRaisesTheCountOnce) {
    v.bulk = true;
    Folder s = folder(root, 1, "S");
    const std::uint32_t kept = put(root, 2, "KEEP", 2);
    std::vector<std::uint8_t> data(BLOCK_SIZE * 3, 9);
    TreeBatch t(v);
    const int h = t.existing(s);
    NewEntry one = file("ONE", 3), empty = file("EMPTY", 0), link = file("LINK", 2, kept), two = file("TWO", 1);
    int slot = -1;
    ASSERT_EQ(t.add(h, one, fill_from_buffer(v, data.data(), data.size(), 3), &slot), FsErr::ok);
    EXPECT_EQ(slot, 1);
    EXPECT_EQ(t.add(h, empty, {}), FsErr::zero_length);
    ASSERT_EQ(t.add(h, link, {}, &slot), FsErr::ok);
    EXPECT_EQ(slot, 2);
    EXPECT_EQ(link.first, kept) << "a link names the chain it was given";
    ASSERT_EQ(t.add(h, two, {}), FsErr::ok);
    const std::size_t from = log_bytes().size();
    ASSERT_EQ(t.commit(), FsErr::ok);
    EXPECT_EQ(count(root, 1), 3);
    // The FAT and the count, one barrier, then each block of S once.
    std::vector<std::int64_t> w = writes_since(from);
    const auto barrier = std::find(w.begin(), w.end(), -1);
    ASSERT_NE(barrier, w.end());
    EXPECT_EQ(std::count(w.begin(), barrier, std::int64_t{3}), 1) << "the root's block with the count";
    EXPECT_EQ(std::vector<std::int64_t>(barrier + 1, w.end()),
              (std::vector<std::int64_t>{static_cast<std::int64_t>(s.start), static_cast<std::int64_t>(s.start) + 1}));
    EXPECT_EQ(free_count_check(v, false), std::int64_t{free_counter(v)});
    ASSERT_EQ(folder_read(v, s.start, s.parent, s.name, &s), FsErr::ok);
    EXPECT_EQ(entry_start(folder_entry(s, 2)), kept);
    EXPECT_EQ(entry_size(folder_entry(s, 3)), 1);
}

TEST_F(Fsys, Entry19AppearsSecondBlockFirstAndGoesFirstBlockFirst) {
    Folder s = folder(root, 1, "S");
    for (int i = 1; i <= 18; ++i) put(s, i, "F", 1);
    const std::int64_t b0 = static_cast<std::int64_t>(s.start), b1 = b0 + 1;
    std::size_t from = log_bytes().size();
    put(s, 19, "NINETEEN", 1);
    std::vector<std::int64_t> w = writes_since(from);
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(std::vector<std::int64_t>(w.end() - 3, w.end()), (std::vector<std::int64_t>{b1, -1, b0}));
    // Cleared with a rename in the same write: both blocks change.
    from = log_bytes().size();
    std::uint8_t* e = folder_entry(s, 19);
    e[entry_field::TYPE] = TYPE_EMPTY;
    folder_entry(s, 18)[entry_field::NAME] = 'G';
    folder_entry(s, 20)[entry_field::NAME] = 'G';
    ASSERT_EQ(folder_write(v, s), FsErr::ok);
    EXPECT_EQ(writes_since(from), (std::vector<std::int64_t>{b0, -1, b1}));
}

TEST_F(Fsys, ReplaceSwitchesTheChainAndFreesTheOldUnlessShared) {
    const std::uint32_t free0 = free_counter(v);
    const std::uint32_t old = put(root, 1, "F", 2, 1);
    std::vector<std::uint8_t> data(BLOCK_SIZE * 3, 2);
    std::uint64_t start = 0, run = 1;
    ASSERT_EQ(fs_chain_new(v, 3, fill_from_buffer(v, data.data(), data.size(), 3), &start, &run), FsErr::ok);
    ASSERT_EQ(fs_replace(v, root, 1, start, 3, run, Release::chain_unshared), FsErr::ok);
    EXPECT_EQ(entry_start(folder_entry(root, 1)), start);
    EXPECT_EQ(entry_size(folder_entry(root, 1)), 3);
    EXPECT_EQ(free_counter(v), free0 - 3);
    EXPECT_EQ(sv.fat_on_disk(old), FAT_FREE);
    EXPECT_EQ(sv.read_block(start)[0], 2);

    ASSERT_EQ(fs_create(v, root, 2, file("LINK", 3, start), {}), FsErr::ok);
    std::uint64_t next = 0, run2 = 1;
    ASSERT_EQ(fs_chain_new(v, 1, {}, &next, &run2), FsErr::ok);
    ASSERT_EQ(fs_replace(v, root, 1, next, 1, run2, Release::chain_unshared), FsErr::ok);
    EXPECT_EQ(chain_of(v, start).size(), 3u) << "LINK still names the chain";
    EXPECT_EQ(fs_replace(v, root, 5, next, 1, run2, Release::chain), FsErr::no_entry);
    EXPECT_EQ(free_count_check(v, false), std::int64_t{free_counter(v)});
}

// A parent link that names a file of the parent: the count changes there
// and the creation fails (as zvkfm's way back failed); one that names
// another folder's entry leaves that count alone.
TEST_F(Fsys, CountThroughADamagedParentLink) {
    Folder s = folder(root, 1, "S");
    put(root, 2, "F", 1);
    folder(root, 3, "T");
    const std::uint32_t free0 = free_counter(v);
    be16_put(folder_entry(s, 0) + entry_field::CONTIGUOUS, 2);
    ASSERT_EQ(folder_write(v, s), FsErr::ok);
    EXPECT_EQ(fs_create(v, s, 1, file("X", 2), {}), FsErr::not_folder);
    EXPECT_EQ(sv.errors(), "error: file isn't directory.\nerror: can't change back to directory.\n");
    EXPECT_EQ(count(root, 2), 2) << "the count went to entry 2, whatever its type";
    EXPECT_EQ(entry_type(folder_entry(s, 1)), TYPE_EMPTY);
    EXPECT_EQ(fat_command_end(v), 0);
    EXPECT_EQ(free_counter(v), free0) << "the chain went back";

    be16_put(folder_entry(s, 0) + entry_field::CONTIGUOUS, 3);
    ASSERT_EQ(folder_write(v, s), FsErr::ok);
    EXPECT_EQ(fs_create(v, s, 1, file("X", 1), {}), FsErr::ok);
    EXPECT_EQ(sv.errors(), "warning: parent link damaged, count not updated.\n");
    EXPECT_EQ(count(root, 3), 0);
    EXPECT_EQ(count(root, 1), 0);
}

}  // namespace

// A tree batch: new folders to any depth and entries of an existing folder,
// one barrier, then the existing folders' blocks; counts and the free
// counter right, and a batch left uncommitted gives everything back.
FsErr add(TreeBatch& t, int h, NewEntry e, int* slot = nullptr) { return t.add(h, e, {}, slot); }

TEST_F(Fsys, TreeBatchMakesAWholeTreeWithOneBarrier) {
    v.bulk = true;
    Folder s = folder(root, 2, "S");
    ASSERT_EQ(folder_read_root(v, &root), FsErr::ok);
    const std::uint32_t free0 = free_counter(v);
    {
        TreeBatch abandoned(v);
        const int top = abandoned.existing(root);
        FsErr err;
        const int a = abandoned.folder(top, raw("GONE"), &err);
        ASSERT_GE(a, 0);
        ASSERT_EQ(add(abandoned, a, file("X", 3)), FsErr::ok);
    }
    EXPECT_EQ(free_counter(v), free0) << "an uncommitted batch gives its chains back";
    EXPECT_EQ(free_count_check(v, false), std::int64_t{free0});

    const std::size_t from = log_bytes().size();
    TreeBatch t(v);
    const int top = t.existing(root), in_s = t.existing(s);
    EXPECT_EQ(t.existing(root), top);
    FsErr err;
    const int kit = t.folder(top, raw("KIT"), &err);
    ASSERT_GE(kit, 0) << fs_strerror(err);
    std::vector<int> deep{kit};
    // Deeper than the folders held open at once, so some are read back.
    for (int d = 0; d < 40; ++d) deep.push_back(t.folder(deep.back(), raw(("D" + std::to_string(d)).c_str()), &err));
    ASSERT_EQ(add(t, kit, file("KICK", 2)), FsErr::ok) << "after KIT was let go";
    ASSERT_EQ(add(t, deep.back(), file("LAST", 1)), FsErr::ok);
    int slot = -1;
    ASSERT_EQ(add(t, in_s, file("SNARE", 4), &slot), FsErr::ok);
    EXPECT_EQ(slot, 1);
    EXPECT_EQ(add(t, kit, file("NONE", 0)), FsErr::zero_length);
    ASSERT_EQ(t.commit(), FsErr::ok);
    EXPECT_EQ(t.result(deep.back()), FsErr::ok);

    const std::vector<std::int64_t> w = writes_since(from);
    EXPECT_EQ(std::count(w.begin(), w.end(), std::int64_t{-1}), 1) << "one barrier for the whole tree";
    const auto barrier = std::find(w.begin(), w.end(), -1);
    EXPECT_EQ(std::vector<std::int64_t>(barrier + 1, w.end()),
              (std::vector<std::int64_t>{3, 4, static_cast<std::int64_t>(s.start), static_cast<std::int64_t>(s.start) + 1}))
        << "after it only the blocks of the existing folders with their new entries";
    Lookup l;
    ASSERT_EQ(fs_resolve(v, "/KIT/KICK", &l), FsErr::ok);
    std::string deepest = "/KIT";
    for (int d = 0; d < 40; ++d) deepest += "/D" + std::to_string(d);
    ASSERT_EQ(fs_resolve(v, deepest + "/LAST", &l), FsErr::ok);
    ASSERT_EQ(fs_resolve(v, "/S/SNARE", &l), FsErr::ok);
    ASSERT_EQ(fs_resolve(v, "/KIT", &l), FsErr::ok);
    EXPECT_EQ(entry_size(folder_entry(l.folder, l.slot)), 2) << "KIT holds D0 and KICK";
    EXPECT_EQ(count(root, 2), 1) << "S counts its new entry";
    EXPECT_EQ(free_counter(v), free0 - 2 - 41 * 2 - 1 - 4);
    EXPECT_EQ(free_count_check(v, false), std::int64_t{free_counter(v)});
}

// Bulk mode: the allocator still hands out the lowest free blocks, those
// freed below the last one found included, and the counter reaches block 2
// with the FAT rather than at every change.
TEST_F(Fsys, BulkModeAllocatesTheLowestFreeBlocksAndWritesTheCounterWithTheFat) {
    v.bulk = true;
    const std::uint32_t a = put(root, 1, "A", 3);
    put(root, 2, "B", 2);
    ASSERT_EQ(fs_remove(v, root, 1, Release::chain), FsErr::ok);
    EXPECT_EQ(put(root, 3, "C", 2), a) << "the blocks freed below come first";
    EXPECT_EQ(put(root, 4, "D", 1), a + 2);
    const auto on_disk = [&] { return be32_get(sv.read_block(2).data() + osblk::FREE_BLOCKS); };
    EXPECT_EQ(on_disk(), free_counter(v));
    std::uint64_t start = 0, run = 1;
    ASSERT_EQ(fs_chain_new_uncommitted(v, 4, {}, &start, &run), FsErr::ok);
    EXPECT_EQ(on_disk(), free_counter(v) + 4) << "not written at the change";
    ASSERT_EQ(fat_command_end(v), 0);
    EXPECT_EQ(on_disk(), free_counter(v));
    EXPECT_EQ(free_count_check(v, false), std::int64_t{free_counter(v)});
}
