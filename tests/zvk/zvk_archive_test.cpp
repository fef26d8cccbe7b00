// export and import: round trips host -> volume -> archive -> volume -> host
// in every format, crafted names that must stay inside the target, and
// imports that do not fit.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>
#include <regex>

#include "zvk_fixture.h"

namespace zvktest {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every path below root (relative, sorted, folders with a trailing '/').
std::vector<std::string> host_tree(const std::string& root, const std::string& at = "") {
  std::vector<std::string> out;
  DIR* d = opendir((root + "/" + at).c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    const std::string rel = at.empty() ? n : at + "/" + n;
    struct stat st;
    lstat((root + "/" + rel).c_str(), &st);
    out.push_back(S_ISDIR(st.st_mode) ? rel + "/" : rel);
    if (S_ISDIR(st.st_mode))
      for (const std::string& s : host_tree(root, rel)) out.push_back(s);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// The JSON rows of ls -R of a volume without the volume's name and the
// places of the chains.
std::string rows_of(const RunResult& r, const std::string& image) {
  std::string s = std::regex_replace(r.out, std::regex("\"first\":[0-9]+,"), "");
  const std::string key = "{\"volume\":\"" + image + "\",";
  for (std::size_t i; (i = s.find(key)) != std::string::npos;) s.replace(i, key.size(), "{");
  return s;
}

TEST_F(ZvkCmd, RoundTripsThroughEveryFormat) {
  host_file("tree/kick.ins", pattern(3 * 512, 1));
  host_file("tree/pads/warm.ins", pattern(40 * 512, 2));
  host_file("tree/pads/deep/sub.ins", pattern(512, 3));
  ASSERT_EQ(mkdir(tmp.file("tree/empty").c_str(), 0755), 0);
  make_volume();
  ASSERT_TRUE(zvk({"cp", "-r", "--type", "3", "tree/", "vol.img:/"}).exited(0));
  ASSERT_TRUE(zvk({"ln", "vol.img:/KICK.INS", "vol.img:/PADS/KICK2"}).exited(0));
  ASSERT_TRUE(zvk({"chtype", "9", "vol.img:/PADS/WARM.INS"}).exited(0));
  const std::string listing = rows_of(zvk({"ls", "-R", "--json", "vol.img"}), "vol.img");
  for (const char* name : {"a.tar", "a.tar.gz", "a.tar.zst", "a.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_STATUS(zvk({"export", "vol.img:/", name}), 0);
    const std::string back = tmp.file("back.img");
    make_volume(1600, back);
    EXPECT_STATUS(zvk({"import", name, "back.img:/"}), 0);
    expect_clean(back);
    EXPECT_EQ(rows_of(zvk({"ls", "-R", "--json", "back.img"}), "back.img"), listing);
    const std::string out = std::string("out-") + name;
    EXPECT_STATUS(zvk({"cp", "-r", "back.img:/", out}), 0);
    EXPECT_TRUE(read_file(tmp.file(out + "/KICK.INS")) == pattern(3 * 512, 1));
    EXPECT_TRUE(read_file(tmp.file(out + "/PADS/KICK2")) == pattern(3 * 512, 1));
    EXPECT_TRUE(read_file(tmp.file(out + "/PADS/WARM.INS")) == pattern(40 * 512, 2));
    EXPECT_TRUE(read_file(tmp.file(out + "/PADS/DEEP/SUB.INS")) == pattern(512, 3));
  }
  // An archive tar made itself: files get the default type, or --type.
  ASSERT_EQ(system(("cd " + tmp.path() + " && tar -cf plain.tar tree").c_str()), 0);
  EXPECT_STATUS(zvk({"import", "plain.tar", "vol.img:/PLAIN/"}), 0);
  EXPECT_TRUE(has(zvk({"ls", "-l", "vol.img:/PLAIN/TREE/KICK.INS"}).out, " 31 unknown ")) << "default type";
  expect_clean();
}

// Entries whose names a host would take as a way out of the target, or as
// an option.
TEST_F(ZvkCmd, CraftedNamesStayInsideTheTarget) {
  Image v = Image::formatted(1600, {10, 2, 80}, "EVIL");
  v.add_file(v.root(), 1, "../../X", 3, 1, 1);
  v.add_file(v.root(), 2, "/ETC/X", 3, 1, 2);
  v.add_file(v.root(), 3, "-RF", 3, 1, 3);
  Dir up = v.add_subdir(v.root(), 4, "..");
  v.add_file(up, 1, "..", 3, 1, 4);
  v.add_file(v.root(), 5, "A\nB", 3, 1, 5);
  v.save(img);
  ASSERT_EQ(mkdir(tmp.file("target").c_str(), 0755), 0);
  EXPECT_STATUS(zvk({"cp", "-r", "vol.img:/", "target"}), 0);
  const std::vector<std::string> want = {"%2DRF", "%2E%2E/", "%2E%2E/%2E%2E", "%2FETC%2FX", "..%2F..%2FX", "A%0AB"};
  EXPECT_EQ(host_tree(tmp.file("target")), want);
  // The names of an export are the same; tar extracts it inside its target.
  EXPECT_STATUS(zvk({"export", "vol.img:/", "evil.tar"}), 0);
  ASSERT_EQ(mkdir(tmp.file("x").c_str(), 0755), 0);
  ASSERT_EQ(system(("cd " + tmp.file("x") + " && tar -xf ../evil.tar").c_str()), 0);
  EXPECT_EQ(host_tree(tmp.file("x")), want);
  // Imported again they are the names stored.
  make_volume(1600, tmp.file("back.img"));
  EXPECT_STATUS(zvk({"import", "evil.tar", "back.img:/"}), 0);
  Image back = Image::load(tmp.file("back.img"));
  EXPECT_EQ(back.entry(back.root(), 1).name, "../../X     ");
  EXPECT_EQ(back.entry(back.root(), 3).name, "-RF         ");
  EXPECT_EQ(back.entry(back.subdir(back.root(), 4), 1).name, "..          ");
  expect_clean(tmp.file("back.img"));
}

TEST_F(ZvkCmd, ImportsThatDoNotFitChangeNothing) {
  for (int i = 0; i < 45; ++i) host_file("many/f" + std::to_string(i), pattern(512, i));
  ASSERT_EQ(system(("cd " + tmp.path() + " && tar -cf many.tar many").c_str()), 0);
  host_file("big/b.bin", pattern(300 * 512, 1));
  ASSERT_EQ(system(("cd " + tmp.path() + " && tar -czf big.tgz big").c_str()), 0);
  make_volume(200);
  const std::vector<std::uint8_t> before = read_file(img);
  RunResult r = zvk({"import", "many.tar", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "error: vol.img:/MANY: needs 45 new entries, 38 are free (a folder holds 38)")) << r.err;
  r = zvk({"import", "big.tgz", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  EXPECT_TRUE(has(r.err, "import needs 302 blocks")) << r.err;
  r = zvk({"import", "--dry-run", "many.tar", "vol.img:/"});
  EXPECT_STATUS(r, 1);
  expect_unchanged(before);
  EXPECT_STATUS(zvk({"export", "vol.img:/", "x.rar"}), 2);
}

}  // namespace
}  // namespace zvktest
