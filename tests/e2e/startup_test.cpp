// Start-up: the command line, the banner, attaching the volume and the
// read-only fallback.
#include <sys/stat.h>
#include <unistd.h>

#include "session.h"

namespace zvktest {
namespace {

class Startup : public ZvkTest {};

TEST_F(Startup, NoArgumentPrintsUsageOnStdoutAndFails) {
  RunResult r = zvk_args({}, "");
  EXPECT_EXIT_CODE(r, 255);
  EXPECT_EQ(r.out, "usage: " + zvkfm_path() + " <device/image file>\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Startup, BannerThenPromptOnAHealthyVolume) {
  Image img = Image::formatted(400, {10, 2, 20}, "DEMO");
  save(img);
  RunResult r = zvk("");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, kBanner + kPrompt);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(image_bytes(), img.bytes()) << "a session without commands changed the image";
}

TEST_F(Startup, MissingPathIsReportedAndNotCreated) {
  std::string missing = tmp.file("no-such.img");
  RunResult r = zvk_args({missing}, "ls\n");
  EXPECT_EXIT_CODE(r, 255);
  EXPECT_EQ(r.err, kBanner + "can't open file `" + missing + "'.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_NE(access(missing.c_str(), F_OK), 0) << "zvkfm created the volume file";
}

// Files too short to hold both header blocks end the program before the
// command loop; a file holding them but no file system starts blank.
TEST_F(Startup, ShortFiles) {
  struct Case {
    std::size_t bytes;
    bool starts;
  };
  for (Case c : {Case{0, false}, Case{700, false}, Case{1024, false}, Case{1535, false},
                 Case{1536, true}}) {
    SCOPED_TRACE("file of " + std::to_string(c.bytes) + " bytes");
    write_file(image_path, std::vector<std::uint8_t>(c.bytes, 0));
    RunResult r = zvk("label\n");
    if (c.starts) {
      EXPECT_EXIT_CODE(r, 0);
      EXPECT_EQ(r.err, transcript({""}, true, kNoFs));
    } else {
      EXPECT_EXIT_CODE(r, 255);
      EXPECT_EQ(r.err, kBanner + "error: can't read block.\n");
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(read_file(image_path).size(), c.bytes) << "the short file was written";
  }
}

// A total of 5 or less cannot hold a file system; the program starts with an
// empty directory so that the volume can be labelled and formatted.
TEST_F(Startup, BlankVolumeStartsWithEmptyRoot) {
  for (std::uint32_t total : {0u, 1u, 5u}) {
    SCOPED_TRACE("TOTAL_BLK_NR " + std::to_string(total));
    Image img = Image::blank(total, 12);
    img.put(3 * kBlockSize + 27, 1, 3).put_text(3 * kBlockSize + 28, "JUNK");  // entry 1 of block 3
    save(img);
    RunResult r = zvk("ls\npwd\n");
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({"", ""}, true, kNoFs));
    EXPECT_EQ(r.out, ls_empty() + pwd_text({{0, "ROOT        ", 3}}));
    EXPECT_EQ(image_bytes(), img.bytes());
  }
}

// A total of 6 is the smallest that holds a root directory.
TEST_F(Startup, SixBlockVolumeLoadsItsRoot) {
  Image img = Image::formatted(6);
  Entry e{.type = 3, .name = "TINY        ", .size = 0, .cont = 1, .first = 0};
  img.set_entry(img.root(), 1, e);
  save(img);
  RunResult r = zvk("ls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({""}));
  EXPECT_EQ(r.out, ls_listing(img, img.root()));
}

// Totals that disagree with the file size: the program still starts.
TEST_F(Startup, TotalLargerOrSmallerThanTheFile) {
  {
    Image img = Image::formatted(400);
    img.add_file(img.root(), 1, "A", 3, 2);
    img.set_total(100000);  // far beyond the file's 400 blocks
    save(img);
    RunResult r = zvk("ls\n");
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({""}));
    EXPECT_EQ(r.out, ls_listing(img, img.root()));
  }
  {
    Image img = Image::formatted(400);
    img.set_total(50);  // the file is bigger than the volume
    save(img);
    RunResult r = zvk("ls\n");
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({""}));
  }
}

// The root's blocks cannot be read: the program ends with 255.
TEST_F(Startup, UnreadableRootEndsTheProgram) {
  Image img = Image::formatted(400);
  img.truncate_bytes(4 * kBlockSize);  // blocks 0-3 only; block 4 is missing
  save(img);
  RunResult r = zvk("ls\n");
  EXPECT_EXIT_CODE(r, 255);
  EXPECT_EQ(r.err, kBanner + "error: can't read block.\n" +
                       "error: can't read directory or data corrupt.\n");
  EXPECT_EQ(r.out, "");
}

// Opening without write permission: the notice, and no write ever reaches
// the file. Run as an unprivileged user, since root may write anyway.
TEST_F(Startup, ReadOnlyFallback) {
  Image img = Image::formatted(400, {10, 2, 20}, "RO");
  img.add_file(img.root(), 1, "SONG", 29, 3);
  save(img);
  ASSERT_TRUE(set_mode(image_path, 0444));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  RunResult r = zvk("ls\nchname new 1\nexit\n", opt);
  if (cannot_run_unprivileged(r)) GTEST_SKIP() << "can't run as an unprivileged user";
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "error: device readonly.\n", kReadOnlyFlush}, false,
                              "open file `" + image_path + "' readonly.\n"));
  EXPECT_EQ(r.out, ls_listing(img, img.root()));
  EXPECT_EQ(image_bytes(), img.bytes());
}

// A file that cannot be opened at all.
TEST_F(Startup, UnreadableFile) {
  save(Image::formatted(400));
  ASSERT_TRUE(set_mode(image_path, 0000));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  RunResult r = zvk("ls\n", opt);
  if (cannot_run_unprivileged(r)) GTEST_SKIP() << "can't run as an unprivileged user";
  EXPECT_EXIT_CODE(r, 255);
  EXPECT_EQ(r.err, kBanner + "can't open file `" + image_path + "'.\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace zvktest
