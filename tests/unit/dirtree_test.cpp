// Names, entry primitives, the working directory and the directory commands.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dircmd.h"
#include "entry.h"
#include "fat.h"
#include "fixture.h"
#include "path.h"

namespace {

// An entry made in the working directory as the shell makes one: through
// the layer, the name normalized. The layer's result.
FsErr create(Fs& fs, const char* name, std::uint8_t type, std::uint64_t blocks, std::uint64_t size,
             std::uint64_t contiguous, int slot, std::uint64_t first = 0) {
    return fs_create(fs.vol, fs.wd, slot, entry_new(fs, name, type, blocks, size, contiguous, first), {});
}

std::string normalized(Fs& fs, const char* text, int width) {
    return std::string(name_normalize(fs, text, width), static_cast<std::size_t>(width < 16 ? width : 16));
}

TEST(Names, NormalizeWidthsAndBytes) {
    Fs fs;
    EXPECT_EQ(normalized(fs, "abc", 12), "ABC         ");
    EXPECT_EQ(normalized(fs, "fifteen-chars-x", 12), "FIFTEEN-CHAR");
    EXPECT_EQ(normalized(fs, "", 12), std::string(12, ' '));
    EXPECT_EQ(normalized(fs, "mydiskla", 7), "MYDISKL");
    EXPECT_EQ(normalized(fs, "09_.-/\xe4\xff{", 12), "09_.-/\xe4\xff{   ");
    EXPECT_EQ(std::strlen(name_normalize(fs, "x", 12)), 12u) << "bytes 12-15 stay zero";
    name_normalize(fs, "abcdefghijklmnopqrst", 40);
    EXPECT_EQ(std::string(fs.name_buffer.data(), 16), "ABCDEFGHIJKLMNOP");
    fs.name_buffer.fill('z');
    name_normalize(fs, "q", 0);
    EXPECT_EQ(fs.name_buffer[0], 'z');
}

// A formatted 200-block volume.
class Tree : public ::testing::Test {
protected:
    ScratchVolume sv{200};
    Fs& fs = sv.fs;
    void SetUp() override { sv.open(); }
    const std::uint8_t* entry(int i) { return dir_entry(fs.wd.image, static_cast<std::size_t>(i)); }
    // Size field of the working directory's own entry in its parent, read
    // from the volume.
    std::uint16_t count_in_root(int n) {
        std::vector<std::uint8_t> root(1024);
        auto b3 = sv.read_block(3), b4 = sv.read_block(4);
        std::memcpy(root.data(), b3.data(), 512);
        std::memcpy(root.data() + 512, b4.data(), 512);
        return be16_get(root.data() + n * 26 + 14);
    }
};

TEST_F(Tree, CreateChecksInOrder) {
    Volume& v = fs.vol;
    EXPECT_EQ(create(fs, "a", 3, 0, 0, 1, 39), FsErr::bad_slot);
    EXPECT_EQ(create(fs, "a", 0, 0, 0, 1, 1), FsErr::zero_length);
    EXPECT_EQ(create(fs, "a", 0, 70000, 0, 1, 1), FsErr::no_space);
    set_free_counter(v, 100000);
    EXPECT_EQ(create(fs, "a", 0, 65536, 0, 1, 1), FsErr::too_big);
    EXPECT_EQ(create(fs, "a", static_cast<std::uint8_t>(256), 1, 0, 1, 1), FsErr::bad_type);
    EXPECT_EQ(sv.errors(),
              "error: file not free.\nerror: zero length.\nerror: not enough space left on device.\n"
              "error: max. file size exceeded.\nerror: invalid type.\n");
    // A link allocates nothing; zvkfm's ln still wants a free block.
    ASSERT_EQ(create(fs, "f", 3, 1, 1, 1, 2), FsErr::ok);
    set_free_counter(v, 0);
    EXPECT_EQ(cmd_ln(fs, 2), -9) << "a preset chain still needs a free block";
    EXPECT_EQ(sv.errors(), "error: not enough space left on device.\nerror: can't create dir.-entry.\n");
    v.read_only = true;
    EXPECT_EQ(create(fs, "a", 3, 1, 1, 1, 39), FsErr::read_only);
    EXPECT_EQ(entry_delete(fs, 39, 1), -1);
    v.read_only = false;
    sv.errors();
    EXPECT_EQ(entry_type(entry(1)), 0);
}

TEST_F(Tree, FailedStoreLeavesTheImageAsBefore) {
    ASSERT_EQ(create(fs, "keep", 3, 1, 1, 1, 1), FsErr::ok);
    const DirImage before = fs.wd.image;
    const std::uint32_t counter = free_counter(fs.vol);
    // Shrink the volume in memory so block 4 of the root cannot be written.
    be32_put(fs.vol.devid.data() + devid::TOTAL_BLK_NR, 4);
    EXPECT_EQ(create(fs, "new", 3, 1, 1, 1, 2, 150), FsErr::write_error);
    EXPECT_EQ(entry_delete(fs, 1, 1), -1);
    EXPECT_EQ(fs.wd.image, before);
    EXPECT_EQ(free_counter(fs.vol), counter);
    be32_put(fs.vol.devid.data() + devid::TOTAL_BLK_NR, 200);
    EXPECT_EQ(dir_store(fs), 0);
    EXPECT_EQ(entry_type(entry(2)), 0);
}

TEST_F(Tree, CountsKeptInParentsThreeLevelsDown) {
    const int a = cmd_mkdir(fs, "a");
    ASSERT_EQ(a, 1);
    ASSERT_EQ(dir_change(fs, a), 0);
    EXPECT_EQ(entry_type(entry(0)), TYPE_PARENT);
    EXPECT_EQ(entry_contiguous(entry(0)), 1);
    EXPECT_EQ(entry_start(entry(0)), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry(0)) + 2, 12), "ROOT        ");
    EXPECT_EQ(fs.wd.image[1022], 'D');

    const int b = cmd_mkdir(fs, "b");
    ASSERT_EQ(b, 1);
    EXPECT_EQ(count_in_root(a), 1);
    EXPECT_EQ(std::string(fs.wd.current_dir->name.data()), "A           ");
    ASSERT_EQ(dir_change(fs, b), 0);
    ASSERT_EQ(create(fs, "f1", 3, 3, 3, 1, 1), FsErr::ok);
    ASSERT_EQ(create(fs, "f2", 3, 1, 1, 1, 2), FsErr::ok);
    EXPECT_EQ(count_in_root(a), 1) << "only the direct parent changes";
    ASSERT_EQ(dir_change(fs, 0), 0);
    EXPECT_EQ(entry_size(entry(b)), 2);
    ASSERT_EQ(dir_change(fs, b), 0);

    // Delete both; a count already 0 wraps to 65535.
    ASSERT_EQ(entry_delete(fs, 1, 1), 0);
    ASSERT_EQ(entry_delete(fs, 2, 1), 0);
    EXPECT_EQ(fs.wd.current_dir->number, b);
    ASSERT_EQ(dir_change(fs, 0), 0);
    EXPECT_EQ(entry_size(entry(b)), 0);
    const std::uint32_t b_start = entry_start(entry(b));
    const std::uint32_t counter = free_counter(fs.vol);
    EXPECT_EQ(cmd_rmdir(fs, static_cast<std::uint32_t>(b)), 0);
    EXPECT_EQ(entry_type(entry(b)), 0);
    EXPECT_EQ(entry_start(entry(b)), b_start) << "a deleted entry keeps its fields";
    EXPECT_EQ(free_counter(fs.vol), counter + 2);
    ASSERT_EQ(dir_change(fs, -1), 0);
    EXPECT_EQ(count_in_root(a), 0);
    EXPECT_EQ(free_count_check(fs.vol, false), std::int64_t{free_counter(fs.vol)}) << sv.errors();
    EXPECT_EQ(fs.wd.root.next, nullptr);
}

TEST_F(Tree, DamagedParentLinkLeavesCountsAlone) {
    ASSERT_EQ(cmd_mkdir(fs, "d"), 1);
    ASSERT_EQ(dir_change(fs, 1), 0);
    std::uint8_t* link = dir_entry(fs.wd.image, 0);
    be16_put(link + entry_field::CONTIGUOUS, 45);
    ASSERT_EQ(dir_store(fs), 0);
    sv.errors();
    EXPECT_EQ(create(fs, "x", 3, 1, 1, 1, 1), FsErr::ok);
    EXPECT_EQ(sv.errors(), "warning: parent link damaged, count not updated.\n");
    EXPECT_EQ(fs.wd.current_dir->number, 1);
    EXPECT_EQ(entry_delete(fs, 1, 1), 0);
    EXPECT_EQ(sv.errors(), "warning: parent link damaged, count not updated.\n");
    EXPECT_EQ(count_in_root(1), 0);
}

TEST_F(Tree, UnreadableDirectoryNeverBecomesTheWorkingDirectory) {
    ASSERT_EQ(cmd_mkdir(fs, "ok"), 1);
    ASSERT_EQ(create(fs, "broken", TYPE_SUBDIR, 1, 0, 1, 2, 190), FsErr::ok);
    // Entry 2 points at block 190, whose FAT entry is free.
    const DirImage before = fs.wd.image;
    sv.errors();
    EXPECT_EQ(dir_change(fs, 2), -2);
    EXPECT_EQ(sv.errors(), "error: free block in chain.\nerror: can't read directory or data corrupt.\n");
    EXPECT_EQ(fs.wd.current_dir, &fs.wd.root);
    EXPECT_EQ(fs.wd.image, before);
    EXPECT_EQ(dir_change(fs, 39), -3);
    EXPECT_EQ(dir_change(fs, 3), 1);
    EXPECT_EQ(sv.errors(), "error: invalid filenr.\nerror: no such file or directory.\n");
    // A parent link in the root (damaged root) has nowhere to go.
    std::uint8_t* e0 = dir_entry(fs.wd.image, 0);
    e0[entry_field::TYPE] = TYPE_PARENT;
    EXPECT_EQ(dir_change(fs, 0), 1);
    EXPECT_EQ(sv.errors(), "error: no parent directory.\n");
}

TEST_F(Tree, MoveSubdirectoryIntoSiblingRewritesItsParentLink) {
    ASSERT_EQ(cmd_mkdir(fs, "src"), 1);
    ASSERT_EQ(cmd_mkdir(fs, "dst"), 2);
    ASSERT_EQ(dir_change(fs, 1), 0);
    ASSERT_EQ(cmd_mkdir(fs, "inner"), 1);
    ASSERT_EQ(dir_change(fs, 1), 0);
    ASSERT_EQ(create(fs, "deep", 3, 1, 1, 1, 1), FsErr::ok);
    ASSERT_EQ(dir_change(fs, -1), 0);
    const std::uint32_t dst_start = entry_start(entry(2));
    const std::uint32_t moved_start = entry_start(entry(1));

    ASSERT_EQ(cmd_mv(fs, 1, 2), 0) << sv.errors();
    EXPECT_EQ(entry_type(entry(1)), 0);
    EXPECT_EQ(entry_size(entry(2)), 1);
    EXPECT_EQ(fs.wd.current_dir, &fs.wd.root);
    ASSERT_EQ(dir_change(fs, 2), 0);
    EXPECT_EQ(entry_start(entry(1)), moved_start);
    ASSERT_EQ(dir_change(fs, 1), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry(0)) + 2, 12), "DST         ");
    EXPECT_EQ(entry_start(entry(0)), dst_start);
    EXPECT_EQ(entry_contiguous(entry(0)), 1);
    ASSERT_EQ(dir_change(fs, 1), 0);
    EXPECT_EQ(entry_type(entry(1)), 3) << "its own subdirectories are still reachable";

    // Back up two levels with mv through the parent link.
    ASSERT_EQ(dir_change(fs, 0), 0);
    ASSERT_EQ(cmd_mv(fs, 1, 0), 0) << sv.errors();
    EXPECT_EQ(entry_size(entry(0)), 0u);
    ASSERT_EQ(dir_change(fs, 0), 0);
    EXPECT_EQ(entry_size(entry(2)), 1) << "moved up into DST itself";
}

TEST_F(Tree, MoveAndLinkRefusals) {
    ASSERT_EQ(create(fs, "f", 3, 1, 1, 1, 4), FsErr::ok);
    EXPECT_EQ(cmd_mv(fs, 4, 4), -13);
    EXPECT_EQ(cmd_mv(fs, 40, 4), -2);
    EXPECT_EQ(cmd_mv(fs, 4, 40), -3);
    EXPECT_EQ(cmd_mv(fs, 4, 0), -6);
    EXPECT_EQ(sv.errors(),
              "error: can't move to same directory.\nerror: invalid filenr.\nerror: invalid filenr.\n"
              "error: no dest.-dir. entry.\n");
    // An entry without a chain would make the layer allocate one.
    std::uint8_t* e = dir_entry(fs.wd.image, 5);
    e[entry_field::TYPE] = 3;
    ASSERT_EQ(cmd_mkdir(fs, "d"), 1);
    const std::uint32_t counter = free_counter(fs.vol);
    EXPECT_EQ(cmd_ln(fs, 5), -6);
    EXPECT_EQ(cmd_mv(fs, 5, 1), -14);
    EXPECT_EQ(sv.errors(), "error: invalid start block.\nerror: invalid start block.\n");
    EXPECT_EQ(free_counter(fs.vol), counter);
    // Releasing an entry without a chain leaves the counter alone.
    EXPECT_EQ(cmd_rm(fs, 5), 0);
    EXPECT_EQ(free_counter(fs.vol), counter);
}

TEST_F(Tree, ChtypeAndChname) {
    ASSERT_EQ(create(fs, "f", 3, 1, 1, 1, 5), FsErr::ok);
    EXPECT_EQ(cmd_chtype(fs, static_cast<std::uint8_t>(258), 5), -3);
    EXPECT_EQ(cmd_chtype(fs, static_cast<std::uint8_t>(300), 5), 0);
    EXPECT_EQ(entry_type(entry(5)), 44);
    EXPECT_EQ(cmd_chname(fs, "twentycharacterslong", 5), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry(5)) + 2, 12), "TWENTYCHARAC");
    EXPECT_EQ(cmd_chtype(fs, 3, 6), -4);
    EXPECT_EQ(sv.errors(), "error: invalid type.\nerror: no file entry.\n");
}

}  // namespace
