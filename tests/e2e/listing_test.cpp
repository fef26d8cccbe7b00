// The listing commands and navigation: df, cd and pwd, ls, fatlist, label.
#include <algorithm>

#include "session.h"

namespace zvktest {
namespace {

class Listing : public ZvkTest {};

std::string df_line(unsigned n) { return "blocks free (FAT)=" + std::to_string(n) + "\n"; }

const std::string kInconsistent = "warning: nr of free blks inconsistent.\n";

TEST_F(Listing, DfAgreesOrWarns) {
  Image img = Image::formatted(400);
  img.add_file(img.root(), 1, "A", 3, 10);
  save(img);
  RunResult r = zvk("df\ndf -c\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, df_line(382) + df_line(382));
  EXPECT_EQ(r.err, transcript({"", ""}));

  img.set_free_counter(1000);
  save(img);
  r = zvk("df\n");
  EXPECT_EQ(r.out, df_line(382));
  EXPECT_EQ(r.err, transcript({kInconsistent}));
  EXPECT_EQ(image_bytes(), img.bytes()) << "df without -c changed the volume";

  r = zvk("df -c\ndf\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, df_line(382) + df_line(382));
  EXPECT_EQ(r.err, transcript({kInconsistent + "warning: free blks counter adjusted.\n", ""}));
  Image fixed = img;
  fixed.set_free_counter(382);
  EXPECT_EQ(image_bytes(), fixed.bytes()) << "df -c must change only the counter";
}

// A FAT that ends before the volume does: the count stops at the first
// unreadable FAT block and cannot be used to correct the counter.
TEST_F(Listing, DfOnAnUnreadableFat) {
  Image img = Image::formatted(2000);  // FAT blocks 5-16, data from 17
  img.truncate_bytes(10 * kBlockSize);  // FAT blocks 5-9 only
  save(img);
  RunResult r = zvk("df\ndf -c\n");
  EXPECT_EXIT_CODE(r, 0);
  // Entries 17-169 of the first FAT block and all of the next four.
  EXPECT_EQ(r.out, df_line(153 + 4 * 170));
  EXPECT_EQ(r.err, transcript({"error: can't read block.\n" + kInconsistent,
                               "error: can't read block.\n" + kInconsistent +
                                   "error: can't correct, FAT unreadable.\n"}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

// The FAT cache on a read-only volume with eleven FAT blocks: a free count
// evicts at lookups 1345, 1515 and 1685 (odd victim counter), each time
// trying to write the victim back.
TEST_F(Listing, DfReadOnlyEvictionsReportTheFatWrite) {
  Image img = Image::formatted(1870);  // 11 FAT blocks, data from 16
  save(img);
  ASSERT_TRUE(set_mode(image_path, 0444));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  RunResult r = zvk("df\n", opt);
  if (cannot_run_unprivileged(r)) GTEST_SKIP() << "can't run as an unprivileged user";
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, df_line(1854));
  EXPECT_EQ(r.err, transcript({kReadOnlyFlush + kReadOnlyFlush + kReadOnlyFlush}, true,
                              "open file `" + image_path + "' readonly.\n") +
                       kReadOnlyFlush);
  EXPECT_EQ(image_bytes(), img.bytes());

  // Ten FAT blocks: the evictions fall on even counter values, nothing is
  // written and nothing printed.
  Image ten = Image::formatted(1700);
  ASSERT_TRUE(set_mode(image_path, 0644));
  save(ten);
  ASSERT_TRUE(set_mode(image_path, 0444));
  r = zvk("df\n", opt);
  EXPECT_EQ(r.out, df_line(1685));
  EXPECT_EQ(r.err, transcript({""}, true, "open file `" + image_path + "' readonly.\n") +
                       kReadOnlyFlush);
}

TEST_F(Listing, DfCorrectionOnAReadOnlyVolume) {
  Image img = Image::formatted(400);
  img.set_free_counter(7);
  save(img);
  ASSERT_TRUE(set_mode(image_path, 0444));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  RunResult r = zvk("df -c\n", opt);
  if (cannot_run_unprivileged(r)) GTEST_SKIP() << "can't run as an unprivileged user";
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, transcript({kInconsistent + "error: can't correct, device readonly.\n"}, true,
                              "open file `" + image_path + "' readonly.\n") +
                       kReadOnlyFlush);
  EXPECT_EQ(image_bytes(), img.bytes());
}

// cd down two levels, up, back to the root, and every refusal.
TEST_F(Listing, CdAndPwd) {
  Image img = Image::formatted(400);
  img.add_file(img.root(), 1, "FILE", 3, 1);
  Dir one = img.add_subdir(img.root(), 5, "ONE");
  Dir two = img.add_subdir(one, 3, "TWO");
  img.add_file(two, 1, "DEEP", 9, 1);
  save(img);
  const PathPart root{0, "ROOT        ", 3};
  const PathPart p1{5, "ONE         ", one.b0};
  const PathPart p2{3, "TWO         ", two.b0};

  RunResult r = zvk(
      "pwd\ncd 5\npwd\ncd 3\npwd\nls\ncd ..\npwd\ncd 3\ncd\npwd\n"
      "cd 5\ncd 3\ncd -7\npwd\ncd 39\ncd 1\ncd 7\ncd ..\ncd x\ncd 5\ncd 1\npwd\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, pwd_text({root}) + pwd_text({root, p1}) + pwd_text({root, p1, p2}) +
                       ls_listing(img, two) + pwd_text({root, p1}) + pwd_text({root}) +
                       pwd_text({root}) + pwd_text({root, p1}));
  EXPECT_EQ(r.err, transcript({"", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
                               "error: invalid filenr.\n", "error: file isn't directory.\n",
                               "error: no such file or directory.\n",
                               "error: no such file or directory.\n",
                               "error: no such file or directory.\n", "",
                               "error: no such file or directory.\n", ""}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Listing, CdUpInTheRootLooksAtEntryZero) {
  Image img = Image::formatted(400);
  img.add_file(img.root(), 0, "OS", 32, 2);
  save(img);
  RunResult r = zvk("cd ..\ncd 0\npwd\n");
  EXPECT_EQ(r.err, transcript({"error: file isn't directory.\n", "error: file isn't directory.\n", ""}));

  // A damaged root whose entry 0 is a parent link: there is no parent.
  img.set_entry(img.root(), 0, Entry{.type = 8, .name = "ROOT", .cont = 0, .first = 3});
  save(img);
  r = zvk("cd ..\npwd\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"error: no parent directory.\n", ""}));
  EXPECT_EQ(r.out, pwd_text({{0, "ROOT        ", 3}}));
}

// A subdirectory that cannot be read never becomes the working directory.
TEST_F(Listing, CdIntoBrokenDirectories) {
  Image img = Image::formatted(400);
  Dir good = img.add_subdir(img.root(), 1, "GOOD");
  img.add_file(good, 1, "INSIDE", 3, 1);
  Dir freed = img.add_subdir(img.root(), 2, "FREED");
  img.set_fat(freed.b0, kFatFree);  // first block free in the FAT
  Dir bad = img.add_subdir(img.root(), 3, "BAD");
  img.set_fat(bad.b0, kFatBad);
  img.set_entry(img.root(), 4, Entry{.type = 2, .name = "FAR", .cont = 2, .first = 9999});
  img.sync_free_counter();
  save(img);
  const PathPart root{0, "ROOT        ", 3};
  const PathPart g{1, "GOOD        ", good.b0};
  RunResult r = zvk("cd 1\ncd 0\ncd 2\npwd\nls\ncd 3\ncd 4\npwd\ncd 1\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  const std::string corrupt = "error: can't read directory or data corrupt.\n";
  EXPECT_EQ(r.err,
            transcript({"", "", "error: free block in chain.\n" + corrupt, "", "",
                        "error: bad block in chain.\n" + corrupt,
                        "error: can't access block beyond TOTAL_BLK_NR.\n" + corrupt, "", "", ""}));
  EXPECT_EQ(r.out, pwd_text({root}) + ls_listing(img, img.root()) + pwd_text({root}) +
                       ls_listing(img, good));
  (void)g;
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Listing, LsFormats) {
  Image img = Image::formatted(400);
  save(img);
  RunResult r = zvk("ls\ndir\n");
  EXPECT_EQ(r.out, ls_empty() + ls_empty());

  // Every type of the table, unknown types and wide numbers.
  const unsigned types[] = {3, 9, 23, 24, 25, 26, 27, 28, 29, 30, 33, 34, 31, 255, 1, 32};
  img.add_file(img.root(), 0, "OPSYS", 32, 2);
  int slot = 1;
  for (unsigned t : types) {
    if (t == 32) continue;
    // Appended, not "T" + a temporary: GCC 12 at -O3 warns falsely
    // (-Wrestrict) about a literal put in front of a temporary string.
    img.set_entry(img.root(), slot, Entry{.type = static_cast<std::uint8_t>(t),
                                          .name = std::string("T").append(std::to_string(t)).append("abc"),
                                          .size = static_cast<std::uint16_t>(slot * 1000),
                                          .cont = static_cast<std::uint16_t>(slot),
                                          .first = 1000000u * static_cast<unsigned>(slot)});
    ++slot;
  }
  img.add_subdir(img.root(), 38, "LAST");
  img.set_entry(img.root(), 20, Entry{.type = 3, .name = std::string("AB\0CD", 5)});
  img.set_entry(img.root(), 21, Entry{.type = 0, .name = "DELETED", .size = 5, .first = 99});
  save(img);
  r = zvk("ls\n");
  EXPECT_EQ(r.out, ls_listing(img, img.root()));
  // Then every entry in use.
  img.set_entry(img.root(), 21, Entry{.type = 34, .name = "NOWUSED", .size = 1, .cont = 1, .first = 4294967295u});
  for (int i = 16; i < 38; ++i) {
    if (i == 20 || i == 21) continue;
    img.set_entry(img.root(), i, Entry{.type = 3, .name = "FILE" + std::to_string(i), .size = 65535, .cont = 65535, .first = 77});
  }
  save(img);
  r = zvk("ls\ndir\n");
  EXPECT_EXIT_CODE(r, 0);
  std::string listing = ls_listing(img, img.root());
  EXPECT_EQ(r.out, listing + listing);
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 3 + 39) << "a full directory";
  EXPECT_NE(listing.find(" 13 | ?? ???   ???  31 | T31abc       |"), std::string::npos)
      << "unknown types list as ?? ???   ???";
  EXPECT_NE(listing.find(" 20 |    instr tlm   3 |           AB |"), std::string::npos)
      << "a name ends at a NUL byte";
  EXPECT_EQ(r.err, transcript({"", ""}));
}

TEST_F(Listing, LsTypes) {
  save(Image::formatted(400));
  RunResult r = zvk("ls -t\ndir -t\n");
  std::string rule(19, '-');
  std::string expected = "  type     dev  id \n" + rule + "\n";
  for (unsigned t : {2u, 3u, 8u, 9u, 23u, 24u, 25u, 26u, 27u, 28u, 29u, 30u, 32u, 33u, 34u}) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "  %s%3u\n", display_name(t).c_str(), t);
    expected += buf;
  }
  expected += rule + "\n";
  EXPECT_EQ(r.out, expected + expected);
  EXPECT_EQ(r.err, transcript({"", ""}));
}

std::string fat_head(const std::string& kind, int nr) {
  return "\n" + kind + "\nFAT-block-chain of file nr. " + std::to_string(nr) + ":\nstartblk=\n";
}

std::string blocks_text(const std::vector<std::uint32_t>& chain) {
  std::string s;
  for (std::uint32_t b : chain) s += std::to_string(b) + "\n";
  return s;
}

std::string file_check(unsigned cont, unsigned size, unsigned fat) {
  return "contiguous(dir.entry)=" + std::to_string(cont) + "\nsize(dir.entry)=" +
         std::to_string(size) + "\nsize(FAT)=" + std::to_string(fat) + "\n";
}

TEST_F(Listing, FatlistOfHealthyEntries) {
  Image img = Image::formatted(400);
  FileInfo f = img.add_file(img.root(), 1, "FIVE", 3, 5);
  Dir sub = img.add_subdir(img.root(), 2, "SUB");
  img.add_file(sub, 1, "X", 3, 1);
  img.add_file(sub, 2, "Y", 3, 1);
  Dir deeper = img.add_subdir(sub, 3, "DEEPER");
  // A split chain: 3 adjacent blocks, then a jump.
  std::vector<std::uint32_t> split = {100, 101, 102, 200, 150};
  img.add_file_on(img.root(), 3, "SPLIT", 9, split);
  save(img);
  RunResult r = zvk("fatlist 1\nfatlist 2\nfatlist 3\ncd 2\nfatlist 0\ncd 3\nfatlist 0\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out,
            fat_head("data-file.", 1) + blocks_text(f.chain) + "=EOF.\n" + file_check(5, 5, 5) +
                fat_head("subdirectory.", 2) + blocks_text({sub.b0, sub.b1}) + "=EOF.\n" +
                "contiguous(dir.entry)=2\nnr. of files=3\n" + fat_head("data-file.", 3) +
                blocks_text(split) + "=EOF.\n" + file_check(3, 5, 5) +
                fat_head("parentdirectory.", 0) + "3\n" +
                "filenr. of workdir. in parentdir.=2\n" + fat_head("parentdirectory.", 0) +
                blocks_text({sub.b0, sub.b1}) + "=EOF.\n" + "filenr. of workdir. in parentdir.=3\n");
  EXPECT_EQ(r.err, transcript({"", "", "", "",
                               "warning: free block in chain.\n"
                               "warning: parentdirectory-size(FAT) wrong.\n",
                               "", ""}));
  (void)deeper;
}

TEST_F(Listing, FatlistOfDamagedChains) {
  Image img = Image::formatted(400);
  img.add_file_on(img.root(), 1, "TOFREE", 3, {20, 21}, 3);
  img.set_fat(21, kFatFree);
  img.add_file_on(img.root(), 2, "TOBAD", 3, {30, 31, 32});
  img.set_fat(31, kFatBad);
  img.add_file_on(img.root(), 3, "FAR", 3, {40, 41});
  img.set_fat(40, 99999);
  img.add_file_on(img.root(), 4, "LOOP", 3, {50, 51, 52}, 7);
  img.set_fat(52, 50);
  img.set_entry(img.root(), 5, Entry{.type = 3, .name = "NOCHAIN", .size = 4, .cont = 1, .first = 0});
  img.add_subdir(img.root(), 6, "SHORTDIR", 60);
  img.set_fat(60, kFatEof);
  img.set_fat(61, kFatFree);
  img.sync_free_counter();
  save(img);
  RunResult r = zvk("fatlist 1\nfatlist 2\nfatlist 3\nfatlist 4\nfatlist 5\nfatlist 6\n"
                    "fatlist 7\nfatlist 39\nfatlist -1\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, fat_head("data-file.", 1) + "20\n21\n" + file_check(2, 3, 2) +
                       fat_head("data-file.", 2) + "30\n31\n" + file_check(3, 3, 2) +
                       fat_head("data-file.", 3) + "40\n99999\n" + file_check(2, 2, 2) +
                       fat_head("data-file.", 4) + "50\n51\n52\n" + file_check(3, 7, 3) +
                       fat_head("data-file.", 5) + file_check(1, 4, 0) +
                       fat_head("subdirectory.", 6) + "60\n=EOF.\n" +
                       "contiguous(dir.entry)=2\nnr. of files=0\n");
  const std::string inconsistent = "warning: file-size inconsistent.\n";
  EXPECT_EQ(r.err, transcript({"warning: free block in chain.\n" + inconsistent,
                               "warning: bad block in chain.\n" + inconsistent,
                               "warning: bad block in chain.\n",
                               "warning: chain loops.\n" + inconsistent, inconsistent,
                               "warning: directory-size(FAT) wrong.\n", "error: no file entry.\n",
                               "error: invalid filenr.\n", "error: invalid filenr.\n"}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

// A chain longer than any file stops after 65,536 blocks. Only the FAT of
// this volume exists in the file: fatlist reads no data block.
TEST_F(Listing, FatlistStopsAnOverlongChain) {
  Image img = Image::blank(70000, 6);
  img.set_bytes_per_block(512).fat_signatures().dir_signature(img.root());
  std::uint32_t first = static_cast<std::uint32_t>(img.data_start());
  for (std::uint32_t b = first; b < first + 65540; ++b) img.set_fat(b, b + 1);
  img.set_fat(first + 65540, kFatEof);
  img.set_entry(img.root(), 1,
                Entry{.type = 3, .name = "ENDLESS", .size = 65535, .cont = 1, .first = first});
  save(img);
  RunResult r = zvk("fatlist 1\n");
  EXPECT_EXIT_CODE(r, 0);
  std::string expected = fat_head("data-file.", 1);
  for (std::uint32_t b = first; b < first + 65536; ++b) expected += std::to_string(b) + "\n";
  expected += file_check(1, 65535, 65536);
  EXPECT_TRUE(r.out == expected) << "stdout differs; its last 200 bytes:\n"
                                 << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
  EXPECT_EQ(r.err, transcript({"warning: chain too long.\nwarning: file-size inconsistent.\n"}));
}

TEST_F(Listing, LabelPrintsEveryHeaderField) {
  Image img = Image::formatted(400, {65535, 255, 1000}, "mydisk");
  img.set_device(1, 128, 2, 255).set_medium(5, 250).set_versions(2, 10, 1, 3);
  img.set_bytes_per_block(4294967295u);
  img.set_free_counter(4000000000u);
  save(img);
  RunResult r = zvk("label\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out,
            "OS header:\n"
            "  blocks free=4000000000\n"
            "  OS version major=2\n"
            "  OS version minor=10\n"
            "  ROM version major=1\n"
            "  ROM version minor=3\n"
            "device id:\n"
            "  peripheral device type=1\n"
            "  removable media device type=128\n"
            "  standard version nr=2\n"
            "  SCSI=255\n"
            "  nr of sectors=65535\n"
            "  nr of heads=255\n"
            "  nr of cylinders=1000\n"
            "  nr of bytes per block=4294967295\n"
            "  total nr of blocks=400\n"
            "  SCSI medium type=5\n"
            "  SCSI density code=250\n"
            "  disk label=MYDISK \n");
  EXPECT_EQ(r.err, transcript({""}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

}  // namespace
}  // namespace zvktest
