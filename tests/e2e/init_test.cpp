// Preparing a volume: chlabel (one-word form and dialogue) and newfs.
#include "session.h"

namespace zvktest {
namespace {

const std::string kLabelAsk1 =
    "warning: a new label will be created.\n"
    "If you really want to create a new label type `y' >";
const std::string kLabelAsk2 =
    "\nwarning: a new label will be written.\n"
    "If you really want to write a new label type `y' >";
const std::string kNewfsAsk =
    "warning: a new filesystem will be written and all files will be lost.\n"
    "If you really want to create a new filesystem type `y' >";
const std::string kNewfsDone = "new filesystem created!\n";

// The questions of the dialogue between the two confirmations.
std::string dialogue(unsigned sectors, unsigned heads, unsigned cylinders, const std::string& total,
                     unsigned free, const std::string& label) {
  return "\nnr of sectors [" + std::to_string(sectors) + "]:" + "nr of hds [" +
         std::to_string(heads) + "]:" + "nr of cylinders [" + std::to_string(cylinders) + "]:" +
         "nr of bytes per block=512\n" + "-> total nr of blocks [" + total + "]:" +
         "-> blocks free=" + std::to_string(free) + " (you should call `newfs'!)\n" +
         "disk label [" + label + "]:";
}

class Init : public ZvkTest {
 protected:
  void expect_image(const Image& expected) {
    std::vector<std::string> d = diff_bytes(expected.bytes(), image_bytes());
    EXPECT_TRUE(d.empty()) << "image differs from the expected one:\n" << join_lines(d);
  }
};

TEST_F(Init, ChlabelWithOneWord) {
  Image img = Image::formatted(400, {10, 2, 20});
  img.add_file(img.root(), 1, "F", 3, 2);
  img.put_text(kBlockSize + 38, "xx").put_text(2 * kBlockSize + 28, "yy");
  save(img);
  for (const auto& [word, stored] : std::vector<std::pair<std::string, std::string>>{
           {"sampler", "SAMPLER"}, {"disk", "DISK   "}, {"mydisklabel", "MYDISKL"}}) {
    RunResult r = zvk("chlabel " + word + "\nlabel\n");
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({"", ""}));
    EXPECT_NE(r.out.find("  disk label=" + stored + "\n"), std::string::npos) << r.out;
    Image exp = img;
    exp.set_label(stored).set_signatures();
    expect_image(exp);
  }
}

// The dialogue formats an all-zero image together with newfs; the result is
// exactly the formatted volume the test builds itself.
TEST_F(Init, DialogueAndNewfsFormatABlankImage) {
  save(Image(std::vector<std::uint8_t>(6553600, 0)));
  RunResult r = zvk("chlabel\ny\n32\n4\n100\n\nmy label\ny\nnewfs\ny\nls\ndf\nexit\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kLabelAsk1 + dialogue(0, 0, 0, "12800", 12719, "") + kLabelAsk2 +
                                   "new label written!\n",
                               kNewfsAsk + kNewfsDone, "", "", ""},
                              false, kNoFs));
  EXPECT_EQ(r.out, "blocks free (FAT)=12719\n" + ls_empty() + "blocks free (FAT)=12719\n");
  expect_image(Image::formatted(12800, {32, 4, 100}, "MY LABE"));
  expect_consistent();
}

// A formatted blank image in use: files of 1, 512, 513 bytes and 64 blocks
// put, copied, exported and imported again; the exports are the imported
// bytes padded to whole blocks, and the counter agrees with the FAT after
// exit.
TEST_F(Init, FormattedImageRoundTrip) {
  save(Image(std::vector<std::uint8_t>(6553600, 0)));
  RunResult r = zvk("chlabel\ny\n32\n4\n100\n\nsessions\ny\nnewfs\ny\n");
  ASSERT_TRUE(r.exited(0)) << describe(r);
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"one", 1}, {"block", 512}, {"more", 513}, {"big", 64 * 512}};
  std::string script = "mkdir box\ncd 1\n";
  for (std::size_t i = 0; i < files.size(); ++i) {
    host_file(files[i].first, pattern(files[i].second, static_cast<std::uint32_t>(i + 1)));
    script += "put " + files[i].first + " 3\n";
  }
  script += "cp 4 bigcopy\ncd\n";
  for (std::size_t i = 0; i < files.size(); ++i) {
    script += "cd 1\nget " + std::to_string(i + 1) + " " + files[i].first + ".out\ncd\n";
    script += "put " + files[i].first + ".out back" + std::to_string(i) + " 29\n";
  }
  script += "cd 1\nget 5 bigcopy.out\ncd\nget 5 back3.out\nexit\n";
  r = zvk(script);
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::vector<std::uint8_t> expected = padded(pattern(files[i].second, static_cast<std::uint32_t>(i + 1)));
    EXPECT_EQ(read_file(host(files[i].first + ".out")), expected) << files[i].first;
  }
  EXPECT_EQ(read_file(host("bigcopy.out")), pattern(64 * 512, 4));
  EXPECT_EQ(read_file(host("back3.out")), pattern(64 * 512, 4));
  expect_consistent();
  // box 2 + files 1+1+2+64 + copy 64 + re-imports 1+1+2+64
  r = zvk("df\n");
  EXPECT_EQ(r.err, transcript({""}));
  EXPECT_EQ(r.out, "blocks free (FAT)=" + std::to_string(12719 - 2 - 68 - 64 - 68) + "\n");
}

// Enter keeps every value; the total becomes the product of the geometry and
// the free counter follows it.
TEST_F(Init, DialogueEnterKeepsValues) {
  Image img = Image::formatted(2000, {10, 2, 80}, "OLDLBL");
  img.set_bytes_per_block(1024);
  img.add_file(img.root(), 1, "F", 3, 1);
  save(img);
  RunResult r = zvk("chlabel\ny\n\n\n\n\n\ny\nlabel\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kLabelAsk1 + dialogue(10, 2, 80, "1600", 1585, "OLDLBL ") +
                                   kLabelAsk2 + "new label written!\n",
                               ""}));
  Image exp = img;
  exp.set_total(1600).set_free_counter(1585).set_bytes_per_block(512);
  expect_image(exp);
  EXPECT_NE(r.out.find("  total nr of blocks=1600\n"), std::string::npos);
}

TEST_F(Init, DialogueNumbersAreCutToTheirFields) {
  Image img = Image::formatted(400, {1, 1, 1}, "L");
  save(img);
  // 70000 sectors keep their low 16 bits (4464); the product of the
  // geometry is shown as a signed number; a typed total replaces it.
  RunResult r = zvk("chlabel\ny\n70000\n65535\n2\n400\n\ny\n");
  EXPECT_EXIT_CODE(r, 0);
  // 4464 * 65535 * 2 = 585096480
  EXPECT_EQ(r.err, transcript({kLabelAsk1 + dialogue(1, 1, 1, "585096480", 392, "L      ") +
                               kLabelAsk2 + "new label written!\n"}));
  Image exp = img;
  exp.set_geometry({4464, 65535, 2}).set_free_counter(392);
  expect_image(exp);

  // A product beyond 2^31 prints as a negative number; a total below 7
  // leaves no free block.
  save(img);
  r = zvk("chlabel\ny\n65535\n65535\n2\n5\n\ny\n");
  EXPECT_EQ(r.err, transcript({kLabelAsk1 + dialogue(1, 1, 1, "-262142", 0, "L      ") +
                               kLabelAsk2 + "new label written!\n"}));
  exp = img;
  exp.set_geometry({65535, 65535, 2}).set_total(5).set_free_counter(0);
  expect_image(exp);
}

TEST_F(Init, DialogueDeclined) {
  Image img = Image::formatted(400, {10, 2, 20}, "KEEP");
  save(img);
  // Only a first character y is yes.
  RunResult r = zvk("chlabel\nn\nchlabel\nY\nchlabel\n\nlabel\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kLabelAsk1, kLabelAsk1, kLabelAsk1, ""}));
  expect_image(img);

  // Declining the second question leaves the headers as they were, in
  // memory too.
  r = zvk("chlabel\nyes\n3\n3\n3\n\nnew\nno\nlabel\n");
  EXPECT_EQ(r.err, transcript({kLabelAsk1 + dialogue(10, 2, 20, "27", 21, "KEEP   ") + kLabelAsk2, ""}));
  EXPECT_NE(r.out.find("  nr of sectors=10\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  total nr of blocks=400\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  disk label=KEEP   \n"), std::string::npos) << r.out;
  expect_image(img);
}

TEST_F(Init, NewfsOverFiles) {
  Image img = Image::formatted(400, {10, 2, 20}, "FULL");
  Dir s = img.add_subdir(img.root(), 1, "S");
  img.add_file(s, 1, "F", 3, 5);
  img.add_file(img.root(), 0, "OPSYS", 32, 2);
  save(img);
  RunResult r = zvk("newfs\nn\ncd 1\nnewfs\ny\npwd\nls\ndf -c\ndf\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kNewfsAsk, "",
                               kNewfsAsk + kNewfsDone + "warning: nr of free blks inconsistent.\n", "",
                               "", "warning: nr of free blks inconsistent.\nwarning: free blks counter adjusted.\n",
                               ""}));
  EXPECT_EQ(r.out, "blocks free (FAT)=392\n" + pwd_text({{0, "ROOT        ", 3}}) + ls_empty() +
                       "blocks free (FAT)=392\nblocks free (FAT)=392\n");
  // newfs writes the FAT and the root only; data blocks keep their bytes.
  Image exp = img;
  Image blank = Image::formatted(400);
  for (std::uint32_t b = 3; b < 8; ++b) std::copy(blank.block(b), blank.block(b) + 512, exp.block(b));
  exp.set_free_counter(392);
  expect_image(exp);
  expect_consistent();
}

// FAT blocks 5 .. F+4 and nothing beyond: 170 blocks have one FAT block,
// 171 have two.
TEST_F(Init, NewfsWritesExactlyTheFatBlocks) {
  for (std::uint32_t total : {170u, 171u}) {
    SCOPED_TRACE("total " + std::to_string(total));
    Image img = Image::blank(total);
    for (std::uint32_t b = 3; b < 10; ++b) std::fill(img.block(b), img.block(b) + 512, 0xAA);
    img.set_free_counter(static_cast<std::uint32_t>(total - img.data_start()));
    save(img);
    RunResult r = zvk("newfs\ny\n");
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({kNewfsAsk + kNewfsDone}));
    EXPECT_EQ(r.out, "blocks free (FAT)=" + std::to_string(total - img.data_start()) + "\n");
    Image exp = img;
    std::uint32_t last_fat = total == 170 ? 5 : 6;
    for (std::uint32_t b = 3; b <= last_fat; ++b) std::fill(exp.block(b), exp.block(b) + 512, 0);
    exp.dir_signature(exp.root()).fat_signatures();
    expect_image(exp);
  }
}

TEST_F(Init, NewfsThatCannotWrite) {
  // Five blocks or fewer: the first FAT block is beyond the volume.
  Image five = Image::blank(5, 12);
  save(five);
  RunResult r = zvk("newfs\ny\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kNewfsAsk + "error: can't access block beyond TOTAL_BLK_NR.\n" +
                                   "error: can't write new FAT, filesystem maybe corrupted.\n"},
                              true, kNoFs));
  EXPECT_EQ(r.out, "");
  expect_image(five);

  // Read-only.
  Image img = Image::formatted(400);
  img.add_file(img.root(), 1, "F", 3, 2);
  save(img);
  ASSERT_TRUE(set_mode(image_path, 0444));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  r = zvk("newfs\ny\nls\n", opt);
  if (cannot_run_unprivileged(r)) GTEST_SKIP() << "can't run as an unprivileged user";
  EXPECT_EQ(r.err, transcript({kNewfsAsk + "error: device readonly.\n" +
                                   "error: can't write new FAT, filesystem maybe corrupted.\n",
                               ""},
                              true, "open file `" + image_path + "' readonly.\n") +
                       kReadOnlyFlush);
  EXPECT_EQ(r.out, ls_listing(img, img.root()));
  expect_image(img);
}

// A blank image cannot be labelled in one word and then formatted: its total
// is still 0. The dialogue sets it.
TEST_F(Init, LabelOnlyOnABlankImage) {
  save(Image(std::vector<std::uint8_t>(20 * 512, 0)));
  RunResult r = zvk("chlabel blank\nlabel\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", ""}, true, kNoFs));
  EXPECT_NE(r.out.find("  total nr of blocks=0\n  SCSI medium type=0\n  SCSI density code=0\n"
                       "  disk label=BLANK  \n"),
            std::string::npos)
      << r.out;
  Image exp(std::vector<std::uint8_t>(20 * 512, 0));
  exp.set_label("BLANK").set_signatures();
  expect_image(exp);
}

}  // namespace
}  // namespace zvktest
