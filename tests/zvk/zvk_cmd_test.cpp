// zvk on volumes the tests make: exit statuses and streams, listings,
// copies in every direction, clashes, refusals that change nothing, the
// editing commands, format, the lock, and the largest volume.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "engine.h"
#include "zvk_fixture.h"

namespace zvktest {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool file_exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

TEST(ZvkNames, SpecsAndHostNames) {
  struct {
    const char* arg;
    bool volume;
    const char* image;
    const char* path;
  } specs[] = {{"a.img:/", true, "a.img", "/"},           {"a.img:/X/Y", true, "a.img", "/X/Y"},
               {"./a:b", false, "", "./a:b"},             {"dir/x:y:/Z", true, "dir/x:y", "/Z"},
               {"/abs/v.img:/A/", true, "/abs/v.img", "/A/"}, {":/X", false, "", ":/X"}};
  for (const auto& c : specs) {
    const zvk::Spec s = zvk::parse_spec(c.arg);
    EXPECT_EQ(s.volume, c.volume) << c.arg;
    EXPECT_EQ(s.image, c.image) << c.arg;
    EXPECT_EQ(s.path, c.path) << c.arg;
  }
  EXPECT_TRUE(zvk::parse_spec("a.img:/").slash);
  EXPECT_FALSE(zvk::parse_spec("a.img:/X").slash);
  // Listed names (folder_listing) made safe for a host folder.
  const std::pair<const char*, const char*> names[] = {
      {"-RF", "%2DRF"}, {"..%2F..%2FX", "..%2F..%2FX"}, {"%2E%2E", "%2E%2E"}, {"A\nB", "A%0AB"}, {"A-B", "A-B"}};
  for (const auto& [listed, safe] : names) EXPECT_EQ(zvk::host_safe_name(listed), safe);
  RawName raw;
  std::string why;
  EXPECT_TRUE(zvk::name_for_entry("%2Drf", &raw, &why));
  EXPECT_EQ(std::string(raw.begin(), raw.end()), "-RF         ");
  EXPECT_FALSE(zvk::name_for_entry("thirteen.long", &raw, &why));
  EXPECT_EQ(why, "name longer than 12 bytes");
  EXPECT_EQ(zvk::audio_entry_name("dir/Kick.drum.wav"), "Kick.drum");
  EXPECT_EQ(zvk::type_label(3), "instr tlm");
  EXPECT_EQ(zvk::type_label(2), "folder");
  EXPECT_EQ(zvk::type_label(200), "unknown");
}

TEST_F(ZvkCmd, ExitStatusesAndStreams) {
  make_volume();
  write_file(tmp.file("noise.bin"), pattern(4096, 9));
  struct {
    std::vector<std::string> args;
    int status;
    const char* err;
  } cases[] = {
      {{}, 2, "usage: zvk"},
      {{"frobnicate"}, 2, "unknown command"},
      {{"ls", "-z", "vol.img"}, 2, "unknown option -z"},
      {{"cp", "-n", "-f", "a", "vol.img:/"}, 2, "exclude each other"},
      {{"cp", "--type", "8", "a", "vol.img:/"}, 2, "--type"},
      {{"ls", "missing.img:/"}, 3, "error: missing.img: No such file"},
      {{"ls", "noise.bin"}, 3, "error: noise.bin: not a volume"},
      {{"ls", "vol.img:/NOPE"}, 1, "error: vol.img:/NOPE: no such file or folder"},
      {{"ls", "vol.img:/*.X"}, 1, "error: vol.img:/*.X: no match"},
      {{"rm", "./local"}, 2, "not a volume path"},
      {{"ls", "vol.img"}, 0, ""},
  };
  for (const auto& c : cases) {
    RunResult r = zvk(c.args);
    EXPECT_STATUS(r, c.status);
    EXPECT_TRUE(has(r.err, c.err)) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_STATUS(zvk({"help"}), 0);
}

// Root: KICK (type 3, 4 blocks) in 1, DRUMS in 2 holding SNARE (type 9), a
// second name LINK of KICK's chain in 3.
Image listing_volume() {
  Image v = Image::formatted(1600, {10, 2, 80}, "LIST");
  FileInfo kick = v.add_file(v.root(), 1, "KICK", 3, 4, 1);
  Dir drums = v.add_subdir(v.root(), 2, "DRUMS");
  v.add_file(drums, 1, "SNARE", 9, 2, 2);
  v.add_file_on(v.root(), 3, "LINK", 3, kick.chain, -1, -1, false);
  return v;
}

TEST_F(ZvkCmd, ListingsShowEveryField) {
  Image v = listing_volume();
  v.save(img);
  const std::uint32_t kick = v.entry(v.root(), 1).first;
  RunResult r = zvk({"ls", "vol.img:/"});
  EXPECT_STATUS(r, 0);
  EXPECT_EQ(r.out, "KICK\nDRUMS/\nLINK\n");
  r = zvk({"ls", "-l", "vol.img:/KICK"});
  char line[128];
  std::snprintf(line, sizeof line, " 1   3 instr tlm       4 %8u      4   2 KICK\n", kick);
  EXPECT_EQ(r.out, line);
  r = zvk({"ls", "-R", "--json", "vol.img"});
  EXPECT_STATUS(r, 0);
  EXPECT_TRUE(has(r.out, "{\"volume\":\"vol.img\",\"path\":\"/KICK\",\"name\":\"KICK\",\"slot\":1,\"type\":3,"
                         "\"type_name\":\"instr tlm\",\"folder\":false,\"blocks\":4,\"entries\":0,\"first\":" +
                             std::to_string(kick) + ",\"contiguous\":4,\"links\":2}"))
      << r.out;
  EXPECT_TRUE(has(r.out, "\"path\":\"/DRUMS/SNARE\"")) << r.out;
  EXPECT_TRUE(has(r.out, "\"path\":\"/DRUMS\",\"name\":\"DRUMS\",\"slot\":2,\"type\":2,\"type_name\":\"folder\","
                         "\"folder\":true,\"blocks\":2,\"entries\":1"))
      << r.out;
  EXPECT_EQ(zvk({"ls", "vol.img:/*/S?A[RN]E"}).out, "SNARE\n");
  EXPECT_EQ(zvk({"tree", "vol.img"}).out, "vol.img:/\n|-- KICK\n|-- DRUMS/\n|   `-- SNARE\n`-- LINK\n");
  r = zvk({"df", "vol.img"});
  EXPECT_TRUE(has(r.out, std::to_string(v.count_free()))) << r.out;
  EXPECT_TRUE(has(zvk({"info", "--json", "vol.img"}).out, "\"label\":\"LIST\",\"sectors\":10,\"heads\":2"));
  r = zvk({"cat", "vol.img:/DRUMS/SNARE"});
  EXPECT_TRUE(std::vector<std::uint8_t>(r.out.begin(), r.out.end()) ==
              v.chain_data(v.follow(v.entry(v.subdir(v.root(), 2), 1).first)));
}

TEST_F(ZvkCmd, CopiesInEveryDirection) {
  make_volume();
  make_volume(1600, tmp.file("two.img"));
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
      {"src/one.bin", pattern(1, 1)},          {"src/full.bin", pattern(512, 2)},
      {"src/sub/big.bin", pattern(70000, 3)},  {"src/sub/deep/x", pattern(1000, 4)}};
  for (const auto& [name, data] : files) host_file(name, data);
  setxattr(tmp.file("src/one.bin").c_str(), "user.zvk.type", "9", 1, 0);
  EXPECT_STATUS(zvk({"cp", "-r", "src", "vol.img:/"}), 0);
  expect_clean();
  EXPECT_EQ(zvk({"ls", "-R", "vol.img:/SRC"}).out,
            "vol.img:/SRC:\nFULL.BIN\nONE.BIN\nSUB/\n\nvol.img:/SRC/SUB:\nBIG.BIN\nDEEP/\n\nvol.img:/SRC/SUB/DEEP:\nX\n");
  EXPECT_TRUE(has(zvk({"ls", "-l", "vol.img:/SRC/ONE.BIN"}).out, "  9 "));
  // Between volumes, on one volume, and back to the host.
  EXPECT_STATUS(zvk({"cp", "-r", "vol.img:/SRC", "two.img:/COPY"}), 0);
  EXPECT_STATUS(zvk({"cp", "vol.img:/SRC/FULL.BIN", "vol.img:/F2"}), 0);
  EXPECT_STATUS(zvk({"cp", "-r", "two.img:/COPY/", "out"}), 0);
  expect_clean();
  expect_clean(tmp.file("two.img"));
  for (const auto& [name, data] : files) {
    std::string up = name.substr(4);
    for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(read_file(tmp.file("out/" + up)) == whole_blocks(data)) << up;
  }
  char type[8] = {};
  EXPECT_GT(getxattr(tmp.file("out/ONE.BIN").c_str(), "user.zvk.type", type, sizeof type), 0);
  EXPECT_STREQ(type, "9");
  EXPECT_TRUE(read_file(tmp.file("out/FULL.BIN")) == pattern(512, 2));
  RunResult r = zvk({"cp", "-r", "vol.img:/SRC", "vol.img:/SRC/SUB"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "cannot copy a folder into itself")) << r.err;
  r = zvk({"cp", "src", "vol.img:/"});
  EXPECT_TRUE(has(r.err, "error: src: is a folder (cp -r copies folders)")) << r.err;
}

TEST_F(ZvkCmd, ClashesStopSkipOrReplace) {
  make_volume();
  host_file("a.bin", pattern(600, 1));
  host_file("b/a.bin", pattern(100, 2));
  EXPECT_STATUS(zvk({"cp", "a.bin", "vol.img:/"}), 0);
  const std::vector<std::uint8_t> before = read_file(img);
  RunResult r = zvk({"cp", "b/a.bin", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "error: vol.img:/A.BIN: name already taken")) << r.err;
  expect_unchanged(before);
  EXPECT_STATUS(zvk({"cp", "-n", "b/a.bin", "vol.img:/"}), 0);
  expect_unchanged(before);
  EXPECT_STATUS(zvk({"cp", "-f", "b/a.bin", "vol.img:/"}), 0);
  expect_clean();
  EXPECT_TRUE(has(zvk({"ls", "-l", "vol.img:/A.BIN"}).out, "      1 ")) << "one block now";
  r = zvk({"cat", "vol.img:/A.BIN"});
  EXPECT_TRUE(std::vector<std::uint8_t>(r.out.begin(), r.out.end()) == whole_blocks(pattern(100, 2)));
  // On the host the same rules.
  EXPECT_STATUS(zvk({"cp", "vol.img:/A.BIN", "out.bin"}), 0);
  EXPECT_STATUS(zvk({"cp", "vol.img:/A.BIN", "out.bin"}), 1);
  EXPECT_STATUS(zvk({"cp", "-f", "vol.img:/A.BIN", "out.bin"}), 0);
}

TEST_F(ZvkCmd, RefusedCopiesChangeNothing) {
  make_volume(200);
  for (int i = 0; i < 45; ++i) host_file("many/f" + std::to_string(i), pattern(10, i));
  host_file("big.bin", pattern(300 * 512, 7));
  const std::vector<std::uint8_t> before = read_file(img);
  RunResult r = zvk({"cp", "-r", "many", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "error: vol.img:/MANY: needs 45 new entries, 38 are free (a folder holds 38)")) << r.err;
  r = zvk({"cp", "big.bin", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "error: vol.img:/: copy needs 300 blocks, " + std::to_string(Image::load(img).free_counter()) +
                             " are free"))
      << r.err;
  ASSERT_EQ(truncate(host_file("huge.bin", {}).c_str(), 65536LL * 512), 0);
  r = zvk({"cp", "huge.bin", "vol.img:/"});
  EXPECT_TRUE(has(r.err, "65536 blocks; a file holds at most 65,535")) << r.err;
  r = zvk({"cp", "--dry-run", "-r", "many/f1", "many/f2", "vol.img:/NEW/"});
  EXPECT_STATUS(r, 0);
  EXPECT_EQ(r.out, "make folder vol.img:/NEW\ncopy " + tmp.file("many/f1").substr(tmp.path().size() + 1) +
                       " -> vol.img:/NEW/F1 (1 blocks)\ncopy many/f2 -> vol.img:/NEW/F2 (1 blocks)\n");
  expect_unchanged(before);
  // A name too long is named; the rest is copied.
  host_file("names/averyveryverylongname", pattern(5, 1));
  host_file("names/short", pattern(5, 2));
  r = zvk({"cp", "-r", "names", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "error: names/averyveryverylongname: name longer than 12 bytes (averyveryverylongname)"))
      << r.err;
  EXPECT_EQ(zvk({"ls", "vol.img:/NAMES"}).out, "SHORT\n");
  expect_clean();
}

TEST_F(ZvkCmd, EditingCommands) {
  listing_volume().save(img);
  EXPECT_STATUS(zvk({"mkdir", "-p", "vol.img:/A/B/C"}), 0);
  EXPECT_STATUS(zvk({"mkdir", "vol.img:/A"}), 1);
  EXPECT_STATUS(zvk({"mkdir", "vol.img:/X/Y"}), 1);
  EXPECT_STATUS(zvk({"mv", "vol.img:/KICK", "vol.img:/A/B"}), 0);
  EXPECT_STATUS(zvk({"mv", "vol.img:/A/B/KICK", "vol.img:/A/BOOM"}), 0);
  EXPECT_STATUS(zvk({"ln", "vol.img:/A/BOOM", "vol.img:/DRUMS"}), 0);
  EXPECT_STATUS(zvk({"chtype", "23", "vol.img:/DRUMS/*"}), 0);
  EXPECT_STATUS(zvk({"label", "vol.img", "newname"}), 0);
  expect_clean();
  EXPECT_EQ(zvk({"label", "vol.img"}).out, "NEWNAME\n");
  EXPECT_TRUE(has(zvk({"ls", "-l", "vol.img:/DRUMS/BOOM"}).out, " 23 bank tlm+")) ;
  RunResult r = zvk({"rm", "vol.img:/A"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "folder is not empty")) << r.err;
  EXPECT_STATUS(zvk({"rm", "-r", "vol.img:/A", "vol.img:/LINK"}), 0);
  expect_clean();
  // BOOM's chain is still named in DRUMS: only its second name went.
  EXPECT_EQ(zvk({"ls", "vol.img"}).out, "DRUMS/\n");
  EXPECT_STATUS(zvk({"rm", "-r", "vol.img:/DRUMS"}), 0);
  expect_clean();
  Image after = Image::load(img);
  EXPECT_EQ(after.count_free(), Image::formatted(1600, {10, 2, 80}).count_free());
  EXPECT_STATUS(zvk({"rm", "-f", "vol.img:/GONE"}), 0);
  // Between the host and volumes a move is a copy, then the sources removed.
  host_file("mv/a.bin", pattern(700, 4));
  make_volume(1600, tmp.file("two.img"));
  EXPECT_STATUS(zvk({"mv", "mv", "vol.img:/"}), 0);
  EXPECT_FALSE(file_exists(tmp.file("mv")));
  EXPECT_STATUS(zvk({"mv", "vol.img:/MV", "two.img:/M2"}), 0);
  EXPECT_EQ(zvk({"ls", "vol.img"}).out, "");
  EXPECT_EQ(zvk({"ls", "two.img:/M2"}).out, "A.BIN\n");
  expect_clean();
  expect_clean(tmp.file("two.img"));
}

TEST_F(ZvkCmd, FormatMakesFillsAndRefuses) {
  host_file("fill/A.INS", pattern(2000, 1));
  host_file("fill/SUB/B.INS", pattern(10, 2));
  RunResult r = zvk({"format", "new.img", "--geometry", "10,2,80", "--label", "demo", "--from", "fill"});
  EXPECT_STATUS(r, 0);
  Image v = Image::load(tmp.file("new.img"));
  EXPECT_EQ(v.total(), 1600u);
  EXPECT_EQ(v.label(), "DEMO   ");
  expect_clean(tmp.file("new.img"));
  EXPECT_EQ(zvk({"ls", "-R", "new.img"}).out, "new.img:/:\nA.INS\nSUB/\n\nnew.img:/SUB:\nB.INS\n");
  r = zvk({"format", "new.img", "--blocks", "1600"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "holds a file system already")) << r.err;
  EXPECT_STATUS(zvk({"format", "new.img", "--blocks", "3200", "--force"}), 0);
  EXPECT_EQ(zvk({"ls", "new.img"}).out, "");
  EXPECT_EQ(Image::load(tmp.file("new.img")).total(), 3200u);
  expect_clean(tmp.file("new.img"));
  EXPECT_STATUS(zvk({"format", "x.img", "--blocks", "7"}), 2);
  EXPECT_STATUS(zvk({"format", "x.img"}), 2);
}

TEST_F(ZvkCmd, FormatFromATreeThatDoesNotFitChangesNothing) {
  host_file("big/A.INS", pattern(1200 * 512, 1));
  host_file("big/B.INS", pattern(1200 * 512, 2));
  ASSERT_EQ(zvk({"format", "new.img", "--blocks", "4000"}).exit_code, 0);
  const std::vector<std::uint8_t> before = read_file(tmp.file("new.img"));
  RunResult r = zvk({"format", "new.img", "--blocks", "1600", "--force", "--from", "big"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "copy needs 2400 blocks")) << r.err;
  EXPECT_EQ(read_file(tmp.file("new.img")), before);
  // A folder of 39 entries, or a name beyond 12 bytes: no image is made.
  for (int i = 0; i < 39; ++i) host_file("many/F" + std::to_string(i), pattern(10, i));
  r = zvk({"format", "none.img", "--blocks", "1600", "--from", "many"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "a folder holds 38")) << r.err;
  host_file("long/ABCDEFGHIJKLM", pattern(10, 1));
  r = zvk({"format", "none.img", "--blocks", "1600", "--from", "long"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "longer than 12 bytes")) << r.err;
  EXPECT_FALSE(file_exists(tmp.file("none.img")));
}

TEST_F(ZvkCmd, LockedAndReadOnlyVolumesAreNotWritten) {
  make_volume();
  host_file("a.bin", pattern(100, 1));
  const std::vector<std::uint8_t> before = read_file(img);
  {
    const int fd = open(img.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    RunResult r = zvk({"cp", "a.bin", "vol.img:/"});
    EXPECT_STATUS(r, 3);
    EXPECT_TRUE(has(r.err, "error: vol.img: in use by another program")) << r.err;
    EXPECT_STATUS(zvk({"mkdir", "vol.img:/D"}), 3);
    EXPECT_STATUS(zvk({"ls", "vol.img"}), 0);
    EXPECT_STATUS(zvk({"cp", "--dry-run", "a.bin", "vol.img:/"}), 0);
    close(fd);
  }
  expect_unchanged(before);
  ASSERT_TRUE(set_mode(img, 0444));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  RunResult r = zvk({"rm", "vol.img:/X"}, opt);
  if (r.exit_code == 126 || r.exit_code == 127) GTEST_SKIP() << "cannot run unprivileged";
  EXPECT_STATUS(r, 3);
  EXPECT_TRUE(has(r.err, "read-only")) << r.err;
  expect_unchanged(before);
}

// The largest volume the FAT addresses: 16 M blocks in a sparse 8 GiB image.
TEST_F(ZvkCmd, LargestVolume) {
  const std::string big = tmp.file("big.img");
  RunResult r = zvk({"format", "big.img", "--blocks", "16777216"});
  ASSERT_TRUE(r.exited(0)) << describe(r);
  host_file("f.bin", pattern(65535 * 512, 5));
  EXPECT_STATUS(zvk({"cp", "f.bin", "big.img:/F"}), 0);
  r = zvk({"ls", "-l", "big.img:/F"});
  EXPECT_TRUE(has(r.out, " 65535 ")) << r.out;
  r = zvk({"df", "big.img"});
  const std::uint32_t fresh = 16777216u - (16777216u - 1) / 170 - 6;
  EXPECT_TRUE(has(r.out, std::to_string(fresh - 65535))) << r.out;
  r = zvk({"cp", "big.img:/F", "back.bin"});
  EXPECT_TRUE(read_file(tmp.file("back.bin")) == pattern(65535 * 512, 5));
  struct stat st;
  ASSERT_EQ(stat(big.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 16777216LL * 512);
  EXPECT_LT(st.st_blocks * 512LL, 200LL << 20) << "the image stays sparse";
}

}  // namespace
}  // namespace zvktest
