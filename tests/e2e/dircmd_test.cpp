// Commands that change directory entries: mkdir, rmdir, rm, rm -e, chname,
// chtype, ln and mv. Each session is checked against an image the test
// builds for the expected result, and with the volume checker.
#include "session.h"

namespace zvktest {
namespace {

const std::string kRmEAsk =
    "warning: if there is no further link to that file\n"
    "         its blocks will be lost!\n"
    "If you really want to delete the directory entry type `y' >";
const std::string kLnAsk =
    "warning: the new directory entry points to the same file.\n"
    "         Be careful if you want to delete such a file.\n"
    "         (Remove the directory entry only for a link count>1!).\n"
    "If you really want to create a new entry type `y' >";
const std::string kRoot = "ROOT        ";

class DirCmd : public ZvkTest {
 protected:
  void expect_image(const Image& expected) {
    std::vector<std::string> d = diff_bytes(expected.bytes(), image_bytes());
    EXPECT_TRUE(d.empty()) << "image differs from the expected one:\n" << join_lines(d);
  }
};

Image fresh() { return Image::formatted(400, {10, 2, 20}, "DIRS"); }

TEST_F(DirCmd, MkdirBuildsATreeThreeLevelsDeep) {
  save(fresh());
  RunResult r = zvk("mkdir alpha\ncd 1\nmkdir beta\ncd 1\nmkdir Gamma\nls\npwd\ncd\nexit\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "", "", "", "", "", "", "", ""}, false));

  Image exp = fresh();
  Dir a = exp.add_subdir(exp.root(), 1, "alpha");
  Dir b = exp.add_subdir(a, 1, "beta");
  Dir g = exp.add_subdir(b, 1, "Gamma");
  ASSERT_EQ(a.b0, 8u);
  ASSERT_EQ(g.b0, 12u);
  EXPECT_EQ(r.out, ls_listing(exp, b) + pwd_text({{0, kRoot, 3}, {1, "ALPHA       ", 8}, {1, "BETA        ", 10}}));
  expect_image(exp);
  expect_consistent();
  EXPECT_EQ(load().free_counter(), 386u);
}

TEST_F(DirCmd, RemovingEntriesKeepsCountsAndFreesBlocks) {
  Image img = fresh();
  Dir a = img.add_subdir(img.root(), 1, "A");
  FileInfo f1 = img.add_file(a, 1, "F1", 3, 3);
  FileInfo f2 = img.add_file(a, 2, "F2", 3, 2);
  Dir e = img.add_subdir(a, 3, "EMPTY");
  img.add_file(img.root(), 2, "R", 3, 2);
  save(img);

  RunResult r = zvk(
      "rmdir 1\nrm 1\ncd 1\nrm 0\nrmdir 0\nrmdir 1\nrmdir 9\nrm 9\nrm 39\nrmdir 39\nrm 3\n"
      "rmdir 3\nrm 1\nrm 2\ncd ..\nrmdir 1\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"error: directory is not empty.\n", "error: file is directory.\n", "",
                               "error: file is directory.\n", "error: file is parent-directory.\n",
                               "error: file is not directory.\n", "error: file is not directory.\n",
                               "error: no file entry.\n", "error: invalid filenr.\n",
                               "error: invalid filenr.\n", "error: file is directory.\n", "", "",
                               "", "", "", ""}));

  // Deleting clears the type byte only; the freed blocks keep their bytes.
  Image exp = img;
  exp.set_entry_field(exp.root(), 1, 1, 1, 0).set_entry_field(exp.root(), 1, 14, 2, 0);
  for (int i = 1; i <= 3; ++i) exp.set_entry_field(a, i, 1, 1, 0);
  for (std::uint32_t blk : {a.b0, a.b1, e.b0, e.b1}) exp.set_fat(blk, 0);
  for (std::uint32_t blk : f1.chain) exp.set_fat(blk, 0);
  for (std::uint32_t blk : f2.chain) exp.set_fat(blk, 0);
  exp.set_free_counter(img.free_counter() + 9);
  EXPECT_EQ(r.out, ls_listing(exp, exp.root()));
  expect_image(exp);
  expect_consistent();
}

// The count of a subdirectory changes modulo 65536.
TEST_F(DirCmd, CountBelowZeroWraps) {
  Image img = fresh();
  Dir a = img.add_subdir(img.root(), 1, "A");
  img.add_file(a, 1, "F", 3, 1);
  img.set_entry_field(img.root(), 1, 14, 2, 0);  // count says 0 though A holds F
  save(img);
  RunResult r = zvk("cd 1\nrm 1\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", ""}));
  EXPECT_EQ(load().entry(load().root(), 1).size, 65535);
}

TEST_F(DirCmd, RmEntryOnlyAsksAndReleasesNothing) {
  Image img = fresh();
  img.add_file(img.root(), 0, "OPSYS", 32, 2);  // 8, 9
  img.add_file(img.root(), 1, "F", 3, 3);       // 10-12
  Dir s = img.add_subdir(img.root(), 2, "S");   // 13, 14
  img.add_file(s, 1, "IN", 3, 1);               // 15
  img.add_file(img.root(), 3, "G", 3, 1);       // 16
  save(img);

  RunResult r = zvk(
      "rm -e 1\nn\nrm -e 1\nY\nrm -e 1\n\nrm -e 1\nyes\nrm -e 1\ny\nrm -e 45\ny\n"
      "cd 2\nrm -e 0\ny\nrm -e\ncd\ndel -e 2\ny\nrm -e\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  const std::string deleted = "directory entry deleted!\n";
  EXPECT_EQ(r.err, transcript({kRmEAsk, kRmEAsk, kRmEAsk, kRmEAsk + deleted,
                               kRmEAsk + "error: no file entry.\n",
                               kRmEAsk + "error: invalid filenr.\n", "",
                               kRmEAsk + "error: can't delete root-directory.\n",
                               "error: file is directory.\n", "", kRmEAsk + deleted, "", ""}));

  Image exp = img;
  for (int i = 0; i <= 2; ++i) exp.set_entry_field(exp.root(), i, 1, 1, 0);
  exp.set_fat(8, 0).set_fat(9, 0).set_free_counter(img.free_counter() + 2);
  EXPECT_EQ(r.out, ls_listing(exp, exp.root()));
  expect_image(exp);
  // Only the blocks of the two entries removed with -e are lost.
  EXPECT_EQ(check_volume(load()), std::vector<std::string>{"blocks 10-15 are in use but belong to no entry"});
}

TEST_F(DirCmd, ChnameAndChtype) {
  Image img = fresh();
  img.add_file(img.root(), 1, "F", 3, 2);
  Entry f = img.entry(img.root(), 1);
  f.byte0 = 0x55;
  f.byte23 = 0x77;
  img.set_entry(img.root(), 1, f);
  Dir s = img.add_subdir(img.root(), 2, "S");
  Dir t = img.add_subdir(s, 1, "T");
  save(img);

  RunResult r = zvk(
      "chname averyveryverylongname 1\nchname newsub 2\ncd 2\nchname parent 0\ncd\n"
      "chname x 7\nchname x 39\nchtype 258 1\nchtype 300 1\nls\nchtype 32 1\nchtype 0 1\n"
      "chtype 8 1\nchtype 3 2\nchtype 3 7\nchtype 2 7\nchtype 3 40\nchtype -254 1\n");
  EXPECT_EXIT_CODE(r, 0);
  const std::string bad_type = "error: invalid type.\n";
  EXPECT_EQ(r.err, transcript({"", "warning: you should update parentname in subdirs.\n", "",
                               "warning: should be the same as parentname.\n", "",
                               "error: no file entry.\n", "error: invalid filenr.\n", bad_type, "",
                               "", "", bad_type, bad_type,
                               "error: can't change type of directory.\n",
                               "error: no file entry.\n", bad_type, "error: invalid filenr.\n",
                               bad_type}));

  Image exp = img;
  Entry ef = f;
  ef.name = "AVERYVERYVER";
  ef.type = 44;
  exp.set_entry(exp.root(), 1, ef);
  Entry es = exp.entry(exp.root(), 2);
  es.name = "NEWSUB      ";
  exp.set_entry(exp.root(), 2, es);
  Entry link = exp.entry(s, 0);
  link.name = "PARENT      ";
  exp.set_entry(s, 0, link);
  EXPECT_EQ(r.out, ls_listing(exp, exp.root()));
  ef.type = 32;
  exp.set_entry(exp.root(), 1, ef);
  expect_image(exp);
  EXPECT_EQ(load().entry(t, 0).name, "S           ") << "the parent link below keeps the old name";
  expect_consistent();
}

TEST_F(DirCmd, LnMakesASecondEntry) {
  Image img = fresh();
  Dir s = img.add_subdir(img.root(), 1, "S");
  img.add_file(s, 1, "F", 29, 3);
  img.add_file(s, 2, "G", 3, 1);
  img.add_file(img.root(), 2, "R", 3, 1);
  save(img);

  RunResult r = zvk("cd 1\nln 1\ny\nls\nrm -e 1\ny\nln 0\ny\nln 9\ny\nln 1\nn\ncd\nln 1\ny\n");
  EXPECT_EXIT_CODE(r, 0);
  const std::string created = "link created!\n";
  EXPECT_EQ(r.err, transcript({"", kLnAsk + created, "", kRmEAsk + "directory entry deleted!\n",
                               kLnAsk + "error: can't link parent-directory.\n",
                               kLnAsk + "error: no file entry.\n", kLnAsk, "",
                               kLnAsk + "warning: linking directory.\n" + created}));

  Image exp = img;
  Entry f = exp.entry(s, 1);
  exp.set_entry(s, 3, f);
  exp.bump_count(s);
  Image at_ls = exp;
  exp.set_entry_field(s, 1, 1, 1, 0);
  exp.bump_count(s, -1);
  exp.set_entry(exp.root(), 3, exp.entry(exp.root(), 1));
  EXPECT_EQ(r.out, ls_listing(at_ls, s));
  expect_image(exp);
  expect_consistent();
  EXPECT_EQ(load().free_counter(), img.free_counter()) << "a link allocates nothing";
}

// A name read from an entry ends at its first NUL byte.
TEST_F(DirCmd, LnOfANameWithANulByte) {
  Image img = fresh();
  img.add_file(img.root(), 1, "x", 3, 1);
  img.set_entry_field(img.root(), 1, 2, 4, 0x41420043);  // "AB\0C"
  save(img);
  RunResult r = zvk("ln 1\ny\n");
  EXPECT_EQ(r.err, transcript({kLnAsk + "link created!\n"}));
  EXPECT_EQ(load().entry(load().root(), 2).name, "AB          ");
}

TEST_F(DirCmd, RefusalsWithoutSpaceOrFreeEntries) {
  // No free block: ln and mv allocate nothing and are still refused.
  Image img = fresh();
  img.add_file(img.root(), 1, "F", 3, 1);
  img.add_subdir(img.root(), 2, "S");
  img.set_free_counter(0);
  save(img);
  const std::string no_space = "error: not enough space left on device.\n";
  RunResult r = zvk("ln 1\ny\nmv 1 2\nmkdir x\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kLnAsk + no_space + "error: can't create dir.-entry.\n",
                               no_space + "error: can't create dir.-entry in dest.-directory.\n",
                               no_space + "error: can't create directory.\n"}));
  EXPECT_EQ(image_bytes(), img.bytes());

  // One free block: a link fits, a directory does not.
  Image tiny = Image::formatted(20);  // 14 data blocks
  tiny.add_file(tiny.root(), 1, "BIG", 3, 13);
  save(tiny);
  r = zvk("mkdir d\nln 1\ny\n");
  EXPECT_EQ(r.err, transcript({no_space + "error: can't create directory.\n", kLnAsk + "link created!\n"}));
  expect_consistent();

  // Entries 1-38 in use; entry 0 does not count.
  Image full = fresh();
  for (int i = 1; i <= 38; ++i) full.add_file(full.root(), i, std::string("F").append(std::to_string(i)), 3, 1);
  save(full);
  const std::string not_free = "error: file not free.\n";
  r = zvk("mkdir d\nln 1\ny\n");
  EXPECT_EQ(r.err, transcript({not_free + "error: can't create directory.\n",
                               kLnAsk + not_free + "error: can't create dir.-entry.\n"}));
  EXPECT_EQ(image_bytes(), full.bytes());
}

TEST_F(DirCmd, MvFilesAndDirectories) {
  Image img = fresh();
  img.add_file(img.root(), 1, "F", 3, 2);
  Dir a = img.add_subdir(img.root(), 2, "A");
  Dir c = img.add_subdir(a, 1, "C");
  img.add_file(c, 1, "D", 3, 1);
  Dir b = img.add_subdir(img.root(), 3, "B");
  img.add_file(b, 1, "E", 3, 1);
  save(img);

  RunResult r = zvk(
      "mv 1 1\nmv 40 2\nmv 1 40\nmv 9 2\nmv 1 0\nmv 2 1\nmv 1 3\ncd 3\nls\nmv 0 1\nmv 2 0\n"
      "cd\nmv 2 3\ncd 3\ncd 2\ncd 1\npwd\nls\ncd\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"error: can't move to same directory.\n", "error: invalid filenr.\n",
                               "error: invalid filenr.\n", "error: no file entry.\n",
                               "error: no dest.-dir. entry.\n", "error: dest. is not directory.\n",
                               "", "", "", "error: can't move parent-directory.\n", "", "", "", "",
                               "", "", "", "", "", ""}));

  Image exp = img;
  Entry fe = exp.entry(exp.root(), 1);
  Entry ae = exp.entry(exp.root(), 2);
  // After "mv 1 3": B holds E and F.
  Image mid = exp;
  mid.set_entry(b, 2, fe).bump_count(b);
  mid.set_entry_field(mid.root(), 1, 1, 1, 0);
  // Finally: F back in root entry 1, A in B's entry 2, A's parent link
  // naming B.
  exp.set_entry_field(exp.root(), 2, 1, 1, 0);
  exp.set_entry(b, 2, ae).bump_count(b);
  exp.set_entry(a, 0, Entry{.type = 8, .name = "B           ", .size = 0, .cont = 2, .first = b.b0});
  Dir a_in_b = exp.subdir(b, 2);
  Dir c_in_a = exp.subdir(a_in_b, 1);
  EXPECT_EQ(r.out, ls_listing(mid, b) +
                       pwd_text({{0, kRoot, 3}, {3, "B           ", b.b0}, {2, "A           ", a.b0},
                                 {1, "C           ", c.b0}}) +
                       ls_listing(exp, c_in_a) + ls_listing(exp, exp.root()));
  expect_image(exp);
  expect_consistent();
}

TEST_F(DirCmd, MvUpFromASubdirectoryAndIntoTheOsEntry) {
  Image img = fresh();
  img.add_file(img.root(), 0, "OPSYS", 32, 1);
  img.add_file(img.root(), 1, "F", 3, 1);
  Dir s = img.add_subdir(img.root(), 2, "S");
  img.add_file(s, 1, "X", 3, 1);
  img.add_file(s, 2, "Y", 3, 1);
  save(img);
  RunResult r = zvk("mv 1 0\ncd 2\nmv 2 0\nls\ncd\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"error: dest. is not directory.\n", "", "", "", "", ""}));
  Image exp = img;
  Entry y = exp.entry(s, 2);
  exp.set_entry_field(s, 2, 1, 1, 0).bump_count(s, -1);
  exp.set_entry(exp.root(), 3, y);
  EXPECT_EQ(r.out, ls_listing(exp, s) + ls_listing(exp, exp.root()));
  expect_image(exp);
  expect_consistent();
}

// A parent link whose entry number names no entry of the parent (damaged):
// entries are still created and deleted, the count is left alone.
TEST_F(DirCmd, ParentLinkAbove38) {
  Image img = fresh();
  Dir s = img.add_subdir(img.root(), 1, "S");
  img.add_file(s, 1, "F", 3, 1);
  img.set_entry_field(s, 0, 16, 2, 45);
  save(img);
  const std::string damaged = "warning: parent link damaged, count not updated.\n";
  RunResult r = zvk("cd 1\nmkdir d\nrm 1\npwd\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", damaged, damaged, "", ""}));
  Image after = load();
  EXPECT_EQ(after.entry(after.root(), 1).size, 1) << "the count in the root changed";
  EXPECT_EQ(after.entry(s, 2).type, 2);
  EXPECT_EQ(after.entry(s, 1).type, 0);
  EXPECT_EQ(r.out.substr(0, pwd_text({{0, kRoot, 3}, {1, "S           ", s.b0}}).size()),
            pwd_text({{0, kRoot, 3}, {1, "S           ", s.b0}}));
}

// Either of two links can go with rm -e; the other keeps the chain.
TEST_F(DirCmd, RmEOfEitherLink) {
  for (int remove : {1, 2}) {
    SCOPED_TRACE("removing entry " + std::to_string(remove));
    Image img = fresh();
    FileInfo f = img.add_file(img.root(), 1, "F", 3, 3);
    save(img);
    RunResult r = zvk("ln 1\ny\nrm -e " + std::to_string(remove) + "\ny\nget " +
                      std::to_string(3 - remove) + " out.bin\n");
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({kLnAsk + "link created!\n", kRmEAsk + "directory entry deleted!\n", ""}));
    expect_consistent();
    EXPECT_EQ(read_file(host("out.bin")), f.data);
  }
}

// Entries whose first block is 0 (never made by the program): rm frees
// nothing and leaves the counter; ln and mv refuse them.
TEST_F(DirCmd, EntriesWithFirstBlockZero) {
  Image img = fresh();
  img.set_entry(img.root(), 1, Entry{.type = 3, .name = "ZERO", .size = 3, .cont = 1, .first = 0});
  img.set_entry(img.root(), 2, Entry{.type = 3, .name = "ZERO2", .size = 1, .cont = 1, .first = 0});
  img.add_subdir(img.root(), 3, "S");
  save(img);
  RunResult r = zvk("ln 2\ny\nmv 2 3\nrm 1\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kLnAsk + "error: invalid start block.\n", "error: invalid start block.\n", ""}));
  Image exp = img;
  exp.set_entry_field(exp.root(), 1, 1, 1, 0);
  expect_image(exp);
}

// A parent link that names a file in the parent: the way back fails, so
// mkdir gives up and the user is left in the parent.
TEST_F(DirCmd, ParentLinkNamingAFile) {
  Image img = fresh();
  Dir s = img.add_subdir(img.root(), 1, "S");
  img.add_file(img.root(), 3, "F", 3, 1);
  img.set_entry_field(s, 0, 16, 2, 3);
  save(img);
  RunResult r = zvk("cd 1\nmkdir d\npwd\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "error: file isn't directory.\n"
                                   "error: can't change back to directory.\n"
                                   "error: can't create directory.\n",
                               ""}));
  EXPECT_EQ(r.out, pwd_text({{0, kRoot, 3}}));
  EXPECT_EQ(load().entry(load().root(), 3).size, 2) << "the count went to entry 3, whatever its type";
}

// A directory that cannot be entered is not moved: its parent link could
// not be rewritten.
TEST_F(DirCmd, MvOfAnUnreadableDirectoryIsUndone) {
  Image img = fresh();
  Dir a = img.add_subdir(img.root(), 1, "A");
  Dir b = img.add_subdir(img.root(), 2, "B");
  img.set_fat(a.b0, kFatFree).sync_free_counter();
  save(img);
  RunResult r = zvk("mv 1 2\npwd\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"error: free block in chain.\n"
                               "error: can't read directory or data corrupt.\n"
                               "error: can't change to new directory.\n",
                               ""}));
  EXPECT_EQ(r.out, pwd_text({{0, kRoot, 3}}));
  Image after = load();
  EXPECT_EQ(after.entry(after.root(), 1), img.entry(img.root(), 1)) << "the source entry changed";
  EXPECT_EQ(after.entry(after.root(), 2).size, 0) << "B's count";
  EXPECT_EQ(after.entry(b, 1).type, 0) << "the new entry in B was not removed";
  EXPECT_EQ(after.free_counter(), img.free_counter());
}

// A directory and a link to it (ln): moving either into the other would
// put the directory inside itself, out of reach from the root; refused.
TEST_F(DirCmd, MvOfADirectoryIntoItselfIsRefused) {
  Image img = fresh();
  Dir a = img.add_subdir(img.root(), 1, "A");
  img.add_file(a, 1, "F", 3, 1);
  save(img);
  RunResult r = zvk("ln 1\ny\nmv 1 2\nmv 2 1\n");
  EXPECT_EXIT_CODE(r, 0);
  const std::string refused = "error: can't move directory into itself.\n";
  EXPECT_EQ(r.err, transcript({kLnAsk + "warning: linking directory.\nlink created!\n", refused, refused}));
  Image exp = img;
  exp.set_entry(exp.root(), 2, exp.entry(exp.root(), 1));
  expect_image(exp);
}

// Inside a directory entered through a link, a new entry's count goes to
// the entry its parent link names; the path then shows that entry, as the
// way up to the parent and back down through it leaves the path.
TEST_F(DirCmd, CountsInsideALinkedDirectoryGoToTheLinkedEntry) {
  Image img = fresh();
  Dir a = img.add_subdir(img.root(), 1, "A");
  save(img);
  RunResult r = zvk("ln 1\ny\nchname B 2\ncd 2\npwd\nmkdir sub\npwd\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, pwd_text({{0, kRoot, 3}, {2, "B           ", a.b0}}) +
                       pwd_text({{0, kRoot, 3}, {1, "A           ", a.b0}}));
  Image after = load();
  EXPECT_EQ(after.entry(after.root(), 1).size, 1);
  EXPECT_EQ(after.entry(after.root(), 2).size, 0);
}

}  // namespace
}  // namespace zvktest
