// The rewriting operations of the volume layer on volumes the test support
// builds, each result judged by the suite's checker.
#include <gtest/gtest.h>

#include <cstring>

#include "checker.h"
#include "runner.h"
#include "console.h"
#include "rewrite.h"

namespace {

using zvktest::Dir;
using zvktest::Image;

class Rewrite : public ::testing::Test {
 protected:
  zvktest::TempDir tmp;
  std::string path = tmp.file("v.img");
  Image img = Image::formatted(1600);
  Volume v;

  void SetUp() override { console.err = std::fopen("/dev/null", "w"); }
  void TearDown() override {
    std::fclose(console.err);
    console_reset();
  }
  void open() {
    img.save(path);
    ASSERT_EQ(volume_open_exclusive(v, path.c_str()), 0);
  }
  // The volume as the operations left it, after the FAT went out.
  Image done() {
    EXPECT_EQ(fs_commit(v), FsErr::ok);
    return Image::load(path);
  }
  Folder folder(const Dir& d) {
    Folder f;
    EXPECT_EQ(folder_read(v, d.b0, 0, RawName{}, &f), FsErr::ok);
    return f;
  }
  // A new chain of blocks blocks, filled with seed's pattern.
  std::uint64_t chain(std::uint64_t blocks, std::uint64_t* contiguous, std::uint32_t seed) {
    data = zvktest::pattern(blocks * BLOCK_SIZE, seed);
    std::uint64_t start = 0;
    *contiguous = 1;
    EXPECT_EQ(fs_chain_new(v, blocks, fill_from_buffer(v, data.data(), data.size(), blocks), &start, contiguous),
              FsErr::ok);
    return start;
  }
  std::vector<std::uint8_t> data;
};

RawName raw(const char* s) {
  RawName r;
  name_encode(s, r);
  return r;
}

// A file with links in its own folder and in another is switched in every
// place, and its old chain is freed; entry 19 moves to a free entry of the
// first block in one write, or of the second block with its count raised
// first, and in a full folder stays where it is.
TEST_F(Rewrite, ReplaceLinkedSwitchesEveryLinkAndMovesEntry19) {
  Dir a = img.add_subdir(img.root(), 1, "A");
  for (int i = 1; i <= 18; ++i) img.add_file(a, i, "F" + std::to_string(i), 3, 1, i);
  img.add_file(a, 19, "LINKED", 3, 2, 50);
  img.set_entry(a, 20, img.entry(a, 19)).bump_count(a);
  img.set_entry(img.root(), 2, img.entry(a, 19));
  Dir b = img.add_subdir(img.root(), 3, "B");
  img.add_file(b, 19, "ALONE", 3, 1, 60);
  const std::uint32_t free_before = img.free_counter();
  open();
  // In A entries 1-18 are taken: 19 goes to 21; in B to 1.
  for (auto [d, want] : {std::pair{a, 21}, std::pair{b, 1}}) {
    Folder fo = folder(d);
    std::uint64_t run = 0;
    const std::uint64_t start = chain(3, &run, static_cast<std::uint32_t>(70 + want));
    int made = -1;
    ASSERT_EQ(fs_replace_linked(v, fo, 19, start, 3, run, &made), FsErr::ok);
    EXPECT_EQ(made, want);
  }
  Image after = done();
  EXPECT_EQ(zvktest::join_lines(zvktest::check_volume(after)), "");
  const zvktest::Entry moved = after.entry(a, 21);
  EXPECT_EQ(after.entry(a, 19).type, 0);
  EXPECT_EQ(after.entry(a, 20).first, moved.first);
  EXPECT_EQ(after.entry(after.root(), 2).first, moved.first);
  EXPECT_EQ(after.follow(moved.first).size(), 3u);
  EXPECT_EQ(after.entry(b, 1).name, "ALONE       ");
  // Two chains of three replaced one of two and one of one (the checker
  // finds no block left in use).
  EXPECT_EQ(after.free_counter(), free_before - 3);
}

TEST_F(Rewrite, ReplaceLinkedInAFullFolderSwitchesEntry19InPlace) {
  Dir full = img.add_subdir(img.root(), 1, "FULL");
  for (int i = 1; i <= 38; ++i) img.add_file(full, i, "G" + std::to_string(i), 3, 1, i);
  open();
  Folder fo = folder(full);
  std::uint64_t run = 0;
  const std::uint64_t start = chain(2, &run, 80);
  int made = -1;
  ASSERT_EQ(fs_replace_linked(v, fo, 19, start, 2, run, &made), FsErr::ok);
  EXPECT_EQ(made, 19);
  Image after = done();
  EXPECT_EQ(after.entry(full, 19).first, start);
  EXPECT_EQ(zvktest::join_lines(zvktest::check_volume(after)), "");
}

// Pieces go right after the chain's end where that is free, else where the
// allocator finds room; a last block that ends no chain is refused.
TEST_F(Rewrite, ChainAppendGrowsAChainFromItsEnd) {
  const std::uint64_t ds = img.data_start();
  img.add_file_on(img.root(), 1, "WAY", 3, {static_cast<std::uint32_t>(ds + 5)});
  open();
  std::uint64_t last = 0, first = 0, run = 1;
  std::vector<std::uint8_t> bytes = zvktest::pattern(8 * BLOCK_SIZE, 3);
  ASSERT_EQ(fs_chain_append(v, &last, 3, fill_from_buffer(v, bytes.data(), 3 * BLOCK_SIZE, 3), &first, &run), FsErr::ok);
  EXPECT_EQ(first, ds);
  EXPECT_EQ(last, ds + 2);
  const std::uint64_t start = first;
  run = 1;
  ASSERT_EQ(fs_chain_append(v, &last, 5, fill_from_buffer(v, bytes.data() + 3 * BLOCK_SIZE, 5 * BLOCK_SIZE, 5),
                            &first, &run),
            FsErr::ok);
  EXPECT_EQ(first, ds + 3);
  EXPECT_EQ(last, ds + 8);  // ds + 5 is taken: the piece goes round it
  std::uint64_t not_end = start;
  EXPECT_EQ(fs_chain_append(v, &not_end, 1, {}, &first, &run), FsErr::damaged);
  Image after = done();
  std::vector<std::uint32_t> c = after.follow(static_cast<std::uint32_t>(start));
  EXPECT_EQ(c, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(ds), static_cast<std::uint32_t>(ds + 1),
                                           static_cast<std::uint32_t>(ds + 2), static_cast<std::uint32_t>(ds + 3),
                                           static_cast<std::uint32_t>(ds + 4), static_cast<std::uint32_t>(ds + 6),
                                           static_cast<std::uint32_t>(ds + 7), static_cast<std::uint32_t>(ds + 8)}));
  EXPECT_TRUE(after.chain_data(c) == bytes);
}

// A move over an existing entry: a file takes a file's place (its chain
// freed unless linked), a folder an empty folder's, in a folder with and
// without a free entry; the wrong kinds are refused with nothing changed.
TEST_F(Rewrite, MoveOverReplacesTheTarget) {
  Dir a = img.add_subdir(img.root(), 1, "A");
  Dir b = img.add_subdir(img.root(), 2, "B");
  zvktest::FileInfo x = img.add_file(a, 1, "X", 3, 2, 1);
  zvktest::FileInfo y = img.add_file(b, 1, "Y", 3, 3, 2);
  Dir m = img.add_subdir(a, 2, "M");
  img.add_file(m, 1, "IN", 3, 1, 3);
  img.add_subdir(b, 2, "EMPTY");
  for (int i = 3; i <= 38; ++i) img.add_file(b, i, "F" + std::to_string(i), 3, 1, i);
  img.add_subdir(img.root(), 3, "E2");
  open();
  Folder fa = folder(a), fb = folder(b);
  EXPECT_EQ(fs_move_over(v, fa, 2, fb, 1, nullptr), FsErr::not_folder);
  EXPECT_EQ(fs_move_over(v, fa, 1, fb, 2, nullptr), FsErr::is_folder);
  int made = -1;
  ASSERT_EQ(fs_move_over(v, fa, 1, fb, 1, nullptr, &made), FsErr::ok);
  EXPECT_EQ(made, 1);
  fa = folder(a);
  fb = folder(b);
  const RawName m2 = raw("M2");
  ASSERT_EQ(fs_move_over(v, fa, 2, fb, 2, &m2, &made), FsErr::ok);  // B has no free entry
  EXPECT_EQ(made, 2);
  Folder root;
  ASSERT_EQ(folder_read_root(v, &root), FsErr::ok);
  fb = folder(b);
  EXPECT_EQ(fs_move_over(v, root, 3, fb, 2, nullptr), FsErr::not_empty);
  Image after = done();
  EXPECT_EQ(zvktest::join_lines(zvktest::check_volume(after)), "");
  EXPECT_EQ(after.entry(b, 1).first, x.first);
  EXPECT_EQ(after.fat(y.first), 0u);
  EXPECT_EQ(after.entry(b, 2).first, m.b0);
  EXPECT_EQ(after.entry(b, 2).name, "M2          ");
  EXPECT_EQ(after.entry(after.subdir(b, 2), 1).name, "IN          ");
  EXPECT_EQ(after.entry(a, 1).type, 0);
  EXPECT_EQ(after.entry(a, 2).type, 0);
}

}  // namespace
