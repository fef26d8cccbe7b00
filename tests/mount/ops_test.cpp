// The mount's operations without libfuse: on a volume the test builds, as
// host tools call them, each volume judged by the suite's checker.
#include <gtest/gtest.h>

#include <cerrno>

#include "checker.h"
#include "console.h"
#include "driver.h"
#include "runner.h"

namespace zvktest {
namespace {

class MountOps : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string path = tmp.file("v.img");
  Image img = Image::formatted(2000);
  std::unique_ptr<Mount> m;

  void SetUp() override { console.err = std::fopen("/dev/null", "w"); }
  void TearDown() override {
    std::fclose(console.err);
    console_reset();
  }
  void mount(bool read_only = false) {
    img.save(path);
    m = std::make_unique<Mount>();
    ASSERT_EQ(mount_open(*m, path.c_str(), read_only), 0);
  }
  // Everything stored and the volume closed: what it holds.
  Image unmount() {
    EXPECT_EQ(mount_flush_all(*m), 0);
    m.reset();
    return Image::load(path);
  }
  nlink_t links(const char* p) {
    struct stat st;
    return op_getattr(*m, p, &st) == 0 ? st.st_nlink : 0;
  }
};

// Files written as cp, an append and an overwrite write them read back
// whole blocks; a link shows every rewrite and keeps the data when the
// other name goes; a file stays readable by its handle after its name.
TEST_F(MountOps, FilesAndLinksRoundTrip) {
  mount();
  const std::vector<std::uint8_t> a = pattern(300000, 1), b = pattern(700, 2), tail = pattern(5, 3);
  ASSERT_EQ(op_mkdir(*m, "/D"), 0);
  ASSERT_EQ(tool_put(*m, "/D/A", a), 0);  // more than one piece of a streamed chain
  std::vector<std::uint8_t> blocks = a;
  blocks.resize(586 * 512);
  EXPECT_EQ(tool_read(*m, "/D/A"), blocks);
  ASSERT_EQ(op_link(*m, "/D/A", "/L"), 0);
  EXPECT_EQ(links("/L"), 2u);
  ASSERT_EQ(tool_overwrite(*m, "/L", b), 0);
  std::vector<std::uint8_t> want = b;
  want.resize(1024);
  EXPECT_EQ(tool_read(*m, "/D/A"), want);
  ASSERT_EQ(tool_append(*m, "/D/A", tail), 0);
  want.insert(want.end(), tail.begin(), tail.end());
  want.resize(1536);
  EXPECT_EQ(tool_read(*m, "/L"), want);
  std::uint64_t fh = 0;
  ASSERT_EQ(op_open(*m, "/L", O_RDONLY, &fh), 0);
  ASSERT_EQ(op_unlink(*m, "/D/A"), 0);
  EXPECT_EQ(links("/L"), 1u);
  ASSERT_EQ(op_unlink(*m, "/L"), 0);
  std::vector<char> back(2000);
  EXPECT_EQ(op_read(*m, fh, back.data(), back.size(), 0), 1536);
  EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 1536), want);
  EXPECT_EQ(op_release(*m, fh), 0);
  ASSERT_EQ(op_truncate(*m, "/D/A", 10, nullptr), -ENOENT);
  const std::uint32_t free_after = Image::formatted(2000).free_counter() - 2;  // D's two blocks
  Image after = unmount();
  EXPECT_EQ(join_lines(check_volume(after)), "");
  EXPECT_EQ(after.free_counter(), free_after);
}

// Renames: a file over a file in another folder and in its own, a folder
// over an empty folder, two names of one file, a folder with its contents
// into another folder; the handle of a file follows it.
TEST_F(MountOps, RenamesReplaceAndMove) {
  img.add_file(img.root(), 1, "A", 3, 2, 1);
  Dir d = img.add_subdir(img.root(), 2, "D");
  img.add_file(d, 1, "B", 3, 3, 2);
  img.add_file(d, 2, "C", 3, 1, 3);
  img.add_subdir(d, 3, "E");
  Dir f = img.add_subdir(img.root(), 3, "F");
  img.add_file(f, 1, "IN", 3, 1, 4);
  mount();
  std::uint64_t fh = 0;
  ASSERT_EQ(op_open(*m, "/A", O_RDONLY, &fh), 0);
  EXPECT_EQ(op_rename(*m, "/A", "/D/B", RENAME_NOREPLACE), -EEXIST);
  ASSERT_EQ(op_rename(*m, "/A", "/D/B", 0), 0);
  struct stat st;
  EXPECT_EQ(op_getattr_open(*m, fh, &st), 0);
  EXPECT_EQ(st.st_size, 1024);
  char first[4];
  EXPECT_EQ(op_read(*m, fh, first, sizeof first, 0), 4);
  EXPECT_EQ(static_cast<std::uint8_t>(first[0]), img.chain_data(img.follow(img.entry(img.root(), 1).first))[0]);
  EXPECT_EQ(op_release(*m, fh), 0);
  ASSERT_EQ(op_rename(*m, "/D/C", "/D/B", 0), 0);
  ASSERT_EQ(op_link(*m, "/D/B", "/D/B2"), 0);
  EXPECT_EQ(op_rename(*m, "/D/B", "/D/B2", 0), 0);  // nothing to do
  EXPECT_EQ(links("/D/B"), 2u);
  ASSERT_EQ(op_rename(*m, "/F", "/D/E", 0), 0);
  ASSERT_EQ(op_rename(*m, "/D", "/X", 0), 0);
  EXPECT_EQ(tool_read(*m, "/X/E/IN"), img.chain_data(img.follow(img.entry(f, 1).first)));
  Image after = unmount();
  EXPECT_EQ(join_lines(check_volume(after)), "");
  EXPECT_EQ(after.entry(after.root(), 2).name, "X           ");
  EXPECT_EQ(after.entry(after.root(), 3).type, 0);
}

// Each refusal with the errno a host tool expects.
TEST_F(MountOps, RefusalsAndTheirErrno) {
  img.add_file(img.root(), 1, "A", 3, 1, 1);
  Dir d = img.add_subdir(img.root(), 2, "D");
  img.add_subdir(d, 1, "SUB");
  Dir full = img.add_subdir(img.root(), 3, "FULL");
  for (int i = 1; i <= 38; ++i) img.add_file(full, i, "F" + std::to_string(i), 3, 1, i);
  mount();
  struct stat st;
  std::uint64_t fh = 0;
  char buf[8];
  struct Case {
    const char* what;
    int got, want;
  } cases[] = {
      {"getattr missing", op_getattr(*m, "/NOPE", &st), -ENOENT},
      {"getattr below a file", op_getattr(*m, "/A/X", &st), -ENOTDIR},
      {"getattr below a long name", op_getattr(*m, "/THIRTEENCHARS/X", &st), -ENOENT},
      {"create existing", op_create(*m, "/A", &fh), -EEXIST},
      {"create long name", op_create(*m, "/THIRTEENCHARS", &fh), -ENAMETOOLONG},
      {"create in a full folder", op_create(*m, "/FULL/NEW", &fh), -ENOSPC},
      {"open a folder", op_open(*m, "/D", O_RDONLY, &fh), -EISDIR},
      {"unlink a folder", op_unlink(*m, "/D"), -EISDIR},
      {"rmdir a file", op_rmdir(*m, "/A"), -ENOTDIR},
      {"rmdir not empty", op_rmdir(*m, "/D"), -ENOTEMPTY},
      {"rmdir the root", op_rmdir(*m, "/"), -EBUSY},
      {"rename the root", op_rename(*m, "/", "/R", 0), -EBUSY},
      {"rename into itself", op_rename(*m, "/D", "/D/SUB/D", 0), -EINVAL},
      {"rename into a full folder", op_rename(*m, "/A", "/FULL/A", 0), -ENOSPC},
      {"rename a file over a folder", op_rename(*m, "/A", "/D/SUB", 0), -EISDIR},
      {"rename a folder over a file", op_rename(*m, "/D/SUB", "/A", 0), -ENOTDIR},
      {"rename over a full folder", op_rename(*m, "/D/SUB", "/FULL", 0), -ENOTEMPTY},
      {"rename with an unknown flag", op_rename(*m, "/A", "/B", 4), -EINVAL},
      {"link a folder", op_link(*m, "/D", "/L"), -EPERM},
      {"type of a folder", op_setxattr(*m, "/D", "user.zvk.type", "3", 1), -EPERM},
      {"type 2", op_setxattr(*m, "/A", "user.zvk.type", "2", 1), -EINVAL},
      {"type 256", op_setxattr(*m, "/A", "user.zvk.type", "256", 3), -EINVAL},
      {"another attribute", op_setxattr(*m, "/A", "user.x", "1", 1), -ENOTSUP},
      {"read another attribute", op_getxattr(*m, "/A", "user.x", buf, sizeof buf), -ENODATA},
      {"type 9", op_setxattr(*m, "/A", "user.zvk.type", "9\n", 2), 0},
      {"read the type", op_getxattr(*m, "/A", "user.zvk.type", buf, sizeof buf), 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  Image after = unmount();
  EXPECT_EQ(join_lines(check_volume(after)), "");
  EXPECT_EQ(after.entry(after.root(), 1).type, 9);

  // Read-only: nothing changes, and the volume is never written.
  const std::vector<std::uint8_t> before = after.bytes();
  img = after;
  mount(true);
  EXPECT_EQ(op_create(*m, "/N", &fh), -EROFS);
  EXPECT_EQ(op_open(*m, "/A", O_WRONLY, &fh), -EROFS);
  EXPECT_EQ(op_rename(*m, "/A", "/B", 0), -EROFS);
  ASSERT_EQ(op_open(*m, "/A", O_RDONLY, &fh), 0);
  EXPECT_EQ(op_release(*m, fh), 0);
  EXPECT_TRUE(unmount().bytes() == before);
}

}  // namespace
}  // namespace zvktest
