// The layer's operations for folders that no entry names: a folder placed on
// blocks the caller chose, a lost folder given an entry, a parent link
// rewritten, a folder written onto blocks before its chain is linked.
#include <gtest/gtest.h>

#include <cstring>

#include "fat.h"
#include "fixture.h"
#include "fsys.h"

namespace {

RawName raw(const char* name) {
    RawName r;
    name_encode(name, r);
    return r;
}

Folder root_of(Volume& v) {
    Folder r;
    EXPECT_EQ(folder_read_root(v, &r), FsErr::ok);
    return r;
}

TEST(FsysAttach, NewFolderOnChosenBlocksGetsItsLinkThenItsEntry) {
    ScratchVolume sv(200);
    sv.open();
    Volume& v = sv.fs.vol;
    ASSERT_EQ(fat_set(v, 41, FAT_EOF), 0);
    ASSERT_EQ(fat_set(v, 40, 41), 0);
    const std::uint32_t counter = free_counter(v);
    Folder root = root_of(v);
    Folder made = folder_blank(40);
    int slot = -1;
    ASSERT_EQ(fs_attach_folder(v, root, 3, made, raw("FOUND"), &slot), FsErr::ok) << sv.errors();
    EXPECT_EQ(slot, 3);
    // The chain reached the volume; the counter is the caller's to keep.
    EXPECT_EQ(sv.fat_on_disk(40), 41u);
    EXPECT_EQ(free_counter(v), counter);
    const Folder after = root_of(v);
    const std::uint8_t* e = folder_entry(after, 3);
    EXPECT_EQ(entry_type(e), TYPE_SUBDIR);
    EXPECT_EQ(entry_start(e), 40u);
    EXPECT_EQ(entry_size(e), 0u);
    EXPECT_EQ(entry_contiguous(e), 2u);
    Folder back;
    ASSERT_EQ(folder_child(v, after, 3, &back), FsErr::ok);
    const std::uint8_t* link = folder_entry(back, 0);
    EXPECT_EQ(entry_type(link), TYPE_PARENT);
    EXPECT_EQ(entry_contiguous(link), 3u);
    EXPECT_EQ(entry_start(link), ROOT_DIR_BLOCK);
    EXPECT_EQ(std::memcmp(link + entry_field::NAME, ROOT_NAME, NAME_LEN), 0);
    EXPECT_EQ(back.image[DIR_SIGNATURE], 'D');
    EXPECT_EQ(folder_used(back), 0);
    EXPECT_EQ(made.parent, ROOT_DIR_BLOCK);
    EXPECT_EQ(sv.errors(), "");
}

// A folder whose entry went (its link still naming root entry 2) comes
// back as entry 5 of SUB: SUB's count in the root goes up, the new entry
// counts what the folder holds, the link names SUB by its name.
TEST(FsysAttach, LostFolderReattachedInASubfolder) {
    ScratchVolume sv(200);
    sv.open();
    Volume& v = sv.fs.vol;
    Folder root = root_of(v);
    ASSERT_EQ(fs_make_folder(v, root, 1, raw("SUB")), FsErr::ok);
    ASSERT_EQ(fs_make_folder(v, root, 2, raw("LOST")), FsErr::ok);
    Folder lost;
    ASSERT_EQ(folder_child(v, root, 2, &lost), FsErr::ok);
    const std::uint8_t data[3] = {1, 2, 3};
    NewEntry file;
    file.name = raw("KICK");
    file.type = 3;
    file.blocks = file.size = file.contiguous = 1;
    ASSERT_EQ(fs_create(v, lost, 4, file, fill_from_buffer(v, data, 3, 1)), FsErr::ok);
    root = root_of(v);
    ASSERT_EQ(fs_remove(v, root, 2, Release::entry_only), FsErr::ok);
    Folder sub;
    ASSERT_EQ(folder_child(v, root, 1, &sub), FsErr::ok);
    ASSERT_EQ(folder_read(v, lost.start, 0, RawName{}, &lost), FsErr::ok);

    ASSERT_EQ(fs_attach_folder(v, sub, 5, lost, raw("DIR0001")), FsErr::ok) << sv.errors();
    const Folder after = root_of(v);
    EXPECT_EQ(entry_size(folder_entry(after, 1)), 1u);
    Folder again;
    ASSERT_EQ(folder_child(v, after, 1, &again), FsErr::ok);
    EXPECT_EQ(entry_size(folder_entry(again, 5)), 1u);
    Folder back;
    ASSERT_EQ(folder_child(v, again, 5, &back), FsErr::ok);
    const std::uint8_t* link = folder_entry(back, 0);
    EXPECT_EQ(entry_contiguous(link), 5u);
    EXPECT_EQ(entry_start(link), sub.start);
    EXPECT_EQ(std::memcmp(link + entry_field::NAME, sub.name.data(), NAME_LEN), 0);
    EXPECT_EQ(entry_type(folder_entry(back, 4)), 3);
    EXPECT_EQ(sv.errors(), "");
}

TEST(FsysAttach, RefusalsWriteNothing) {
    ScratchVolume sv(200);
    sv.open();
    Volume& v = sv.fs.vol;
    Folder root = root_of(v);
    ASSERT_EQ(fs_make_folder(v, root, 1, raw("TAKEN")), FsErr::ok);
    ASSERT_EQ(fat_set(v, 60, 61), 0);
    ASSERT_EQ(fat_set(v, 61, FAT_EOF), 0);
    const std::uint64_t changes = v.changes;
    Folder child = folder_blank(60);
    EXPECT_EQ(fs_attach_folder(v, root, 1, child, raw("X")), FsErr::bad_slot);  // taken
    EXPECT_EQ(fs_attach_folder(v, root, 0, child, raw("X")), FsErr::bad_slot);  // the parent link's place
    EXPECT_EQ(fs_attach_folder(v, root, 39, child, raw("X")), FsErr::bad_slot);
    Folder self = folder_blank(ROOT_DIR_BLOCK);
    EXPECT_EQ(fs_attach_folder(v, root, 2, self, raw("X")), FsErr::damaged);
    Folder outside = folder_blank(200);
    EXPECT_EQ(fs_attach_folder(v, root, 2, outside, raw("X")), FsErr::damaged);
    EXPECT_EQ(folder_write_run(v, outside), FsErr::damaged);
    EXPECT_EQ(folder_relink(v, child, root, 0), FsErr::bad_slot);
    EXPECT_EQ(v.changes, changes);
    EXPECT_EQ(sv.errors(), "");
}

TEST(FsysAttach, ReadOnlyVolumeIsNotWritten) {
    ScratchVolume sv(200);
    sv.open(true);
    Volume& v = sv.fs.vol;
    Folder root = root_of(v);
    Folder child = folder_blank(60);
    EXPECT_EQ(fs_attach_folder(v, root, 2, child, raw("X")), FsErr::read_only);
    EXPECT_EQ(folder_write_run(v, child), FsErr::read_only);
    EXPECT_EQ(folder_relink(v, child, root, 2), FsErr::read_only);
    EXPECT_EQ(v.changes, 0u);
}

// folder_write_run places both blocks whatever the FAT says (here: free);
// folder_relink makes a whole link where entry 0 held something else.
TEST(FsysAttach, PlacedBeforeTheChainAndRelinkedFromNothing) {
    ScratchVolume sv(200);
    sv.open();
    Volume& v = sv.fs.vol;
    Folder f = folder_blank(80);
    std::uint8_t* zero = folder_entry(f, 0);
    std::memset(zero, 0x5A, DIR_ENTRY_SIZE);  // not a parent link at all
    f.image[BLOCK_SIZE + 7] = 0x77;
    ASSERT_EQ(folder_write_run(v, f), FsErr::ok);
    EXPECT_EQ(sv.read_block(80)[0], 0x5A);
    EXPECT_EQ(sv.read_block(81)[7], 0x77);
    EXPECT_EQ(fat_get(v, 80), FAT_FREE);

    ASSERT_EQ(fat_set(v, 80, 81), 0);
    ASSERT_EQ(fat_set(v, 81, FAT_EOF), 0);
    Folder root = root_of(v);
    ASSERT_EQ(folder_relink(v, f, root, 7), FsErr::ok);
    const std::vector<std::uint8_t> b0 = sv.read_block(80);
    EXPECT_EQ(b0[entry_field::TYPE], TYPE_PARENT);
    EXPECT_EQ(std::memcmp(b0.data() + entry_field::NAME, ROOT_NAME, NAME_LEN), 0);
    EXPECT_EQ(entry_contiguous(b0.data()), 7u);
    EXPECT_EQ(entry_start(b0.data()), ROOT_DIR_BLOCK);
    EXPECT_EQ(b0[0], 0);
    EXPECT_EQ(b0[22], 0);
    EXPECT_EQ(sv.read_block(81)[7], 0x77);
}

}  // namespace
