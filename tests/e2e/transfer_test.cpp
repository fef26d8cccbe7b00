// Moving file contents between the host and the volume: put, loados, get
// and cp, with their aliases.
#include <sys/stat.h>
#include <unistd.h>

#include "session.h"

namespace zvktest {
namespace {

const std::string kCantCreate = "error: can't create file.\n";
const std::string kBadType = "error: invalid type.\n";

class Transfer : public ZvkTest {
 protected:
  Image img = Image::formatted(400, {10, 2, 20}, "XFER");
  void expect_image(const Image& expected) {
    std::vector<std::string> d = diff_bytes(expected.bytes(), image_bytes());
    EXPECT_TRUE(d.empty()) << "image differs from the expected one:\n" << join_lines(d);
  }
  // The data of entry i of d, read along its chain.
  std::vector<std::uint8_t> data_of(const Image& v, const Dir& d, int i) {
    Entry e = v.entry(d, i);
    return v.chain_data(v.follow(e.first, e.size));
  }
};

TEST_F(Transfer, PutSizesNamesAndTypes) {
  save(img);
  host_file("one.ins", pattern(1, 1));
  host_file("full.ins", pattern(512, 2));
  host_file("over.ins", pattern(513, 3));
  host_file("big.ins", pattern(64 * 512, 4));
  ASSERT_EQ(mkdir(host("sub").c_str(), 0755), 0);
  host_file("sub/x.ins", pattern(100, 5));
  host_file("averyveryverylong.ins", pattern(10, 6));

  RunResult r = zvk(
      "put one.ins 3\nput full.ins b 29\nload over.ins 259\nimport big.ins Big 31\n"
      "put sub/x.ins 3\nput averyveryverylong.ins 9\nls\nexit\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "", "", "", "", "", "", ""}, false));

  Image exp = img;
  auto add = [&](int slot, const char* name, std::uint8_t type, const std::string& host_name,
                 std::uint32_t blocks) {
    FileInfo f = exp.add_file(exp.root(), slot, name, type, blocks);
    std::vector<std::uint8_t> data = padded(read_file(host(host_name)));
    for (std::size_t i = 0; i < f.chain.size(); ++i) {
      std::copy(data.begin() + static_cast<std::ptrdiff_t>(i * kBlockSize),
                data.begin() + static_cast<std::ptrdiff_t>((i + 1) * kBlockSize),
                exp.block(f.chain[i]));
    }
  };
  add(1, "ONE.INS", 3, "one.ins", 1);
  add(2, "B", 29, "full.ins", 1);
  add(3, "OVER.INS", 3, "over.ins", 2);
  add(4, "BIG", 31, "big.ins", 64);
  add(5, "SUB/X.INS", 3, "sub/x.ins", 1);
  add(6, "AVERYVERYVER", 9, "averyveryverylong.ins", 1);
  EXPECT_EQ(r.out, ls_listing(exp, exp.root()));
  expect_image(exp);
  expect_consistent();
}

TEST_F(Transfer, PutRefusals) {
  img.add_file(img.root(), 1, "OLD", 3, 1);
  save(img);
  host_file("a.ins", pattern(600, 1));
  host_file("empty.ins", {});
  ASSERT_EQ(mkdir(host("adir").c_str(), 0755), 0);

  RunResult r = zvk(
      "put a.ins 2\nput a.ins 8\nput a.ins 32\nput a.ins 0\nput a.ins 256\nput empty.ins 3\n"
      "put empty.ins 0\nput missing.ins 3\nput adir 3\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kBadType + kCantCreate, kBadType + kCantCreate,
                               kBadType + kCantCreate, kBadType + kCantCreate,
                               kBadType + kCantCreate, "error: zero length.\n" + kCantCreate,
                               kBadType + kCantCreate,
                               "error: can't read size of input-file.\n",
                               "error: can't read file.\n"}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Transfer, PutWithoutRoom) {
  // Entries 1-38 in use.
  for (int i = 1; i <= 38; ++i) img.add_file(img.root(), i, std::string("F").append(std::to_string(i)), 3, 1);
  save(img);
  host_file("a.ins", pattern(600, 1));
  RunResult r = zvk("put a.ins 3\n");
  EXPECT_EQ(r.err, transcript({"error: file not free.\n" + kCantCreate}));
  EXPECT_EQ(image_bytes(), img.bytes());

  // Not enough free blocks.
  Image tiny = Image::formatted(20);
  tiny.add_file(tiny.root(), 1, "BIG", 3, 13);
  save(tiny);
  r = zvk("put a.ins 3\n");
  EXPECT_EQ(r.err, transcript({"error: not enough space left on device.\n" + kCantCreate}));
  EXPECT_EQ(image_bytes(), tiny.bytes());
}

// A host file of 65,536 blocks is refused; a sparse file keeps this cheap.
TEST_F(Transfer, PutOfAnOversizedFile) {
  std::string big = host("huge.bin");
  write_file(big, std::vector<std::uint8_t>{});
  ASSERT_EQ(truncate(big.c_str(), 33553921), 0);
  img.set_free_counter(70000);  // enough blocks on paper
  save(img);
  RunResult r = zvk("put huge.bin 3\n");
  EXPECT_EQ(r.err, transcript({"error: max. file size exceeded.\n" + kCantCreate}));
  EXPECT_EQ(image_bytes(), img.bytes());

  img.set_free_counter(392);
  save(img);
  r = zvk("put huge.bin 3\nloados huge.bin os\n");
  const std::string no_space = "error: not enough space left on device.\n";
  EXPECT_EQ(r.err, transcript({no_space + kCantCreate, no_space + kCantCreate}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Transfer, GetExportsWholeBlocks) {
  FileInfo f = img.add_file(img.root(), 1, "THREE", 3, 3);
  Dir s = img.add_subdir(img.root(), 2, "S");
  img.add_file(s, 1, "IN", 29, 2);
  save(img);
  write_file(host("existing.bin"), pattern(4000, 9));

  RunResult r = zvk("get 1 out.bin\nsave 2 dir.bin\nexport 1 existing.bin\ncd 2\nget 0 parent.bin\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "", "", "", ""}));
  EXPECT_EQ(read_file(host("out.bin")), f.data);
  EXPECT_EQ(read_file(host("dir.bin")), img.dir_bytes(s)) << "a directory exports as 1024 bytes";
  EXPECT_EQ(read_file(host("existing.bin")), f.data) << "an existing file is replaced";
  EXPECT_EQ(read_file(host("parent.bin")), img.dir_bytes(img.root()));
  struct stat st {};
  ASSERT_EQ(stat(host("out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~static_cast<unsigned>(umask(022)));
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Transfer, GetOfBrokenChains) {
  img.add_file_on(img.root(), 1, "LONGER", 3, {20, 21, 22}, 2, 1);  // chain longer than size
  img.add_file_on(img.root(), 2, "TOFREE", 3, {30, 31, 32}, 3, 1);
  img.set_fat(31, kFatFree);
  img.add_file_on(img.root(), 3, "TOBAD", 3, {40, 41}, 2, 1);
  img.set_fat(40, kFatBad);
  img.add_file_on(img.root(), 4, "LOOP", 3, {50, 51}, 5, 1);
  img.set_fat(51, 50);
  save(img);
  const std::string cant = "error: can't read file.\n";
  RunResult r = zvk(
      "get 1 a.bin\nget 2 b.bin\nget 3 c.bin\nget 4 d.bin\nget 39 e.bin\nget -1 e.bin\n"
      "get 5 e.bin\nget 1 nodir/x.bin\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({cant, "error: free block in chain.\n" + cant,
                               "error: bad block in chain.\n" + cant, cant,
                               "error: invalid filenr.\n", "error: invalid filenr.\n", cant, cant}));
  for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin"}) {
    EXPECT_NE(access(host(name).c_str(), F_OK), 0) << name << " was created";
  }
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Transfer, GetIntoAnUnwritablePlace) {
  img.add_file(img.root(), 1, "F", 3, 1);
  save(img);
  RunResult r = zvk("get 1 nodir/x.bin\n");
  EXPECT_EQ(r.err, transcript({"error: can't open file `nodir/x.bin'.\n"}));
}

// An image file shorter than its volume: whatever lies past its end is
// reported as unreadable, and nothing is created from it.
TEST_F(Transfer, ReadsPastTheEndOfAShortImage) {
  img.add_file_on(img.root(), 1, "FAR", 3, {150, 151}, 2, 1);
  img.add_subdir(img.root(), 2, "D", 160);
  img.add_file(img.root(), 3, "NEAR", 3, 1);
  img.truncate_bytes(120 * kBlockSize);
  save(img);
  const std::string block = "error: can't read block.\n";
  const std::string unreadable = block + "error: can't read directory or data corrupt.\n";
  RunResult r = zvk("get 1 out.bin\ncp 1 COPY\ncd 2\nmv 3 2\nget 2 dir.bin\npwd\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({block + "error: can't read file.\n", block + "error: can't read file.\n", unreadable,
                               unreadable + "error: can't change to dest.-directory.\n",
                               block + "error: can't read file.\n", ""}));
  EXPECT_EQ(r.out, pwd_text({{0, "ROOT        ", 3}}));
  EXPECT_NE(access(host("out.bin").c_str(), F_OK), 0);
  EXPECT_NE(access(host("dir.bin").c_str(), F_OK), 0);
  EXPECT_EQ(image_bytes(), img.bytes());
}

// A host file that takes less than it is given: a full device, and a file
// cut short by the size limit (the first write short, the next refused).
TEST_F(Transfer, GetWhenTheHostTakesLess) {
  FileInfo f = img.add_file(img.root(), 1, "THREE", 3, 3);
  img.add_subdir(img.root(), 2, "S");
  save(img);
  const std::string lost = "error: not all data saved.\n";
  RunResult r = zvk("get 1 /dev/full\nget 2 /dev/full\n");
  EXPECT_EQ(r.err, transcript({lost, lost}));
  RunOptions opt;
  opt.cwd = tmp.path();
  r = run({"/bin/sh", "-c", "ulimit -f 2 && trap '' XFSZ && exec \"$0\" \"$1\"", zvkfm_path(), image_path},
          "get 1 out.bin\nget 2 dir.bin\n", opt);
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({lost, ""}));
  const std::vector<std::uint8_t> out = read_file(host("out.bin"));
  EXPECT_TRUE(out == std::vector<std::uint8_t>(f.data.begin(), f.data.begin() + 1024)) << out.size() << " bytes";
  EXPECT_EQ(read_file(host("dir.bin")).size(), 1024u) << "a directory fits the limit";
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Transfer, CpDuplicatesAnEntry) {
  FileInfo os = img.add_file(img.root(), 0, "OPSYS", 32, 3);
  FileInfo f = img.add_file(img.root(), 1, "SONG", 29, 4);
  Dir s = img.add_subdir(img.root(), 2, "S");
  save(img);
  RunResult r = zvk("cp 1 copy\ncopy 0 osbackup\ncp 2 x\ncp 9 x\ncp 39 x\ncd 2\ncp 0 x\n");
  EXPECT_EXIT_CODE(r, 0);
  const std::string no_dir = "error: not allowed to copy directory.\n";
  EXPECT_EQ(r.err, transcript({"", "warning: OS file.\n", no_dir, "error: no file entry.\n",
                               "error: invalid filenr.\n", "", no_dir}));
  Image exp = img;
  FileInfo c1 = exp.add_file(exp.root(), 3, "COPY", 29, 4);
  FileInfo c2 = exp.add_file(exp.root(), 4, "OSBACKUP", 32, 3);
  for (std::size_t i = 0; i < 4; ++i) {
    std::copy(f.data.begin() + static_cast<std::ptrdiff_t>(i * 512),
              f.data.begin() + static_cast<std::ptrdiff_t>((i + 1) * 512), exp.block(c1.chain[i]));
  }
  for (std::size_t i = 0; i < 3; ++i) {
    std::copy(os.data.begin() + static_cast<std::ptrdiff_t>(i * 512),
              os.data.begin() + static_cast<std::ptrdiff_t>((i + 1) * 512), exp.block(c2.chain[i]));
  }
  expect_image(exp);
  expect_consistent();
  (void)s;
}

TEST_F(Transfer, CpRefusals) {
  for (int i = 1; i <= 38; ++i) img.add_file(img.root(), i, std::string("F").append(std::to_string(i)), 3, 1);
  img.set_entry_field(img.root(), 2, 14, 2, 0);  // entry 2: size 0 but a chain of 1
  save(img);
  RunResult r = zvk("cp 1 x\ncp 2 y\n");
  EXPECT_EQ(r.err, transcript({"error: file not free.\nerror: can't create new file.\n",
                               "error: can't read file.\n"}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

TEST_F(Transfer, LoadosAlwaysUsesRootEntryZero) {
  Dir s = img.add_subdir(img.root(), 1, "S");
  save(img);
  host_file("os.bin", pattern(1500, 3));
  RunResult r = zvk("cd 1\nloados os.bin OpSys\npwd\ncd 1\nloados os.bin again\npwd\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  const PathPart root{0, "ROOT        ", 3};
  EXPECT_EQ(r.err, transcript({"", "", "", "", "error: os place not empty.\n" + kCantCreate, "", ""}));
  Image exp = img;
  FileInfo o = exp.add_file(exp.root(), 0, "OPSYS", 32, 3);
  std::vector<std::uint8_t> data = padded(pattern(1500, 3));
  for (std::size_t i = 0; i < 3; ++i) {
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(i * 512),
              data.begin() + static_cast<std::ptrdiff_t>((i + 1) * 512), exp.block(o.chain[i]));
  }
  EXPECT_EQ(r.out, pwd_text({root}) + pwd_text({root}) + ls_listing(exp, exp.root()));
  expect_image(exp);
  expect_consistent();
  (void)s;
}

// Files put, copied, exported and imported again keep their bytes.
TEST_F(Transfer, RoundTrips) {
  img.add_subdir(img.root(), 1, "S");
  save(img);
  host_file("a.bin", pattern(1, 1));
  host_file("b.bin", pattern(512, 2));
  host_file("c.bin", pattern(513, 3));
  host_file("d.bin", pattern(64 * 512, 4));
  RunResult r = zvk(
      "cd 1\nput a.bin 3\nput b.bin 3\nput c.bin 3\nput d.bin 3\ncp 4 e\nget 1 a.out\n"
      "get 2 b.out\nget 3 c.out\nget 4 d.out\nget 5 e.out\nput c.out again 3\nget 6 c2.out\n"
      "rm 3\nrm 5\ncd\ndf\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript(std::vector<std::string>(17, "")));
  EXPECT_EQ(read_file(host("a.out")), padded(pattern(1, 1)));
  EXPECT_EQ(read_file(host("b.out")), pattern(512, 2));
  EXPECT_EQ(read_file(host("c.out")), padded(pattern(513, 3)));
  EXPECT_EQ(read_file(host("d.out")), pattern(64 * 512, 4));
  EXPECT_EQ(read_file(host("e.out")), pattern(64 * 512, 4));
  EXPECT_EQ(read_file(host("c2.out")), padded(pattern(513, 3)));
  // S 2, a 1, b 1, d 64 and again 2 blocks remain.
  EXPECT_EQ(r.out, "blocks free (FAT)=322\n");
  expect_consistent();
  EXPECT_EQ(load().entry(load().subdir(load().root(), 1), 0).type, 8);
  EXPECT_EQ(load().entry(load().root(), 1).size, 4) << "S holds a, b, d and again";
}

// A volume with 36 FAT blocks: chains spread over many FAT blocks, so the
// eight-slot cache evicts changed blocks while files are written, copied and
// removed. The FAT on the volume must still hold every chain.
TEST_F(Transfer, ManyFatBlocks) {
  Image v = Image::formatted(6000);  // FAT blocks 5-40, data from 41
  v.add_file(v.root(), 1, "A", 3, 10);  // 41-50
  v.add_file_on(v.root(), 2, "B", 3, {3000, 3001, 3002, 3003, 3004, 3005, 3006, 3007, 3008, 3009});
  v.add_subdir(v.root(), 3, "SUB", 2000);
  v.add_file_on(v.root(), 4, "C", 3, {5900, 5901, 5902, 5903, 5904, 5905, 5906, 5907, 5908, 5909});
  save(v);
  std::vector<std::uint8_t> big = pattern(2000 * kBlockSize, 11);
  host_file("big", big);
  host_file("small", pattern(700, 12));
  RunResult r = zvk("put big 3\nput small 3\nrm 2\ncd 3\nput small 29\ncd\ncp 5 copy\ndf\nrm 5\ndf\nexit\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript(std::vector<std::string>(11, ""), false));
  EXPECT_EQ(r.out, "blocks free (FAT)=1933\nblocks free (FAT)=3933\n");
  expect_consistent();
  Image after = load();
  EXPECT_EQ(after.entry(after.root(), 2).name, "COPY        ");
  EXPECT_TRUE(data_of(after, after.root(), 2) == big) << "the copy differs";
  EXPECT_EQ(after.entry(after.subdir(after.root(), 3), 1).type, 29);
}

}  // namespace
}  // namespace zvktest
