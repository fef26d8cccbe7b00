// zvkfsck on damaged volumes built byte by byte: for every kind of damage,
// alone and stacked, -n reports it and leaves the image as it was (exit 4),
// -y repairs it (exit 1), the suite's checker then finds the volume
// consistent, a second run finds nothing (exit 0), and every file the
// damage did not touch reads back unchanged.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "checker.h"
#include "image.h"
#include "runner.h"

namespace zvktest {
namespace {

const std::string kFsck = ZVKFSCK_PATH;

// A file of the test volume: where its entry is and what it holds.
struct Known {
  std::vector<int> dirs;  // slots from the root down to its directory
  int slot;
  std::string name;
  std::vector<std::uint8_t> data;
};

struct Volume {
  Image img;
  std::vector<Known> files;
};

Dir dir_of(const Image& img, const std::vector<int>& slots) {
  Dir d = img.root();
  for (int s : slots) d = img.subdir(d, s);
  return d;
}

// OPSYS 8-9, SONG 10-13, SUB 14-15 { INSTR 16-17, DEEPER 18-19 { HAT 20 } },
// SPLIT 30 31 40 35, KICK 41-43.
Volume tree() {
  Volume v{Image::formatted(400, {10, 2, 20}, "FSCK"), {}};
  Image& img = v.img;
  auto add = [&](std::vector<int> dirs, FileInfo fi, std::string name) {
    v.files.push_back({std::move(dirs), fi.slot, std::move(name), fi.data});
  };
  add({}, img.add_file(img.root(), 0, "OPSYS", 32, 2, 1), "OPSYS");
  add({}, img.add_file(img.root(), 1, "SONG", 29, 4, 2), "SONG");
  Dir sub = img.add_subdir(img.root(), 2, "SUB");
  add({2}, img.add_file(sub, 1, "INSTR", 3, 2, 3), "INSTR");
  Dir deeper = img.add_subdir(sub, 2, "DEEPER");
  add({2, 2}, img.add_file(deeper, 1, "HAT", 3, 1, 4), "HAT");
  add({}, img.add_file_on(img.root(), 3, "SPLIT", 3, {30, 31, 40, 35}, -1, -1, true, 5), "SPLIT");
  add({}, img.add_file_on(img.root(), 4, "KICK", 3, {41, 42, 43}, -1, -1, true, 6), "KICK");
  return v;
}

struct Damage {
  std::string name;
  std::function<void(Image&)> apply;
  std::string reported;          // a line of -n's output holds this
  std::set<std::string> touched;  // files whose content may change
};

std::string first_line_with(const std::string& out, const std::string& text) {
  std::size_t at = out.find(text);
  if (at == std::string::npos) return "";
  std::size_t begin = out.rfind('\n', at);
  begin = begin == std::string::npos ? 0 : begin + 1;
  return out.substr(begin, out.find('\n', at) - begin);
}

// Every known file not touched is where it was, with the same bytes.
void expect_untouched(const Image& img, const Volume& before, const std::set<std::string>& touched) {
  for (const Known& k : before.files) {
    if (touched.count(k.name)) continue;
    SCOPED_TRACE(k.name);
    Entry e = img.entry(dir_of(img, k.dirs), k.slot);
    ASSERT_EQ(e.name, padded_name(k.name));
    EXPECT_EQ(img.chain_data(img.follow(e.first, e.size)), k.data);
  }
}

RunResult fsck(const std::string& mode, const std::string& path) {
  return run({kFsck, mode, path}, "");
}

// The whole cycle for one damaged volume.
void check_and_repair(const Volume& base, const std::vector<Damage>& damages, const TempDir& tmp) {
  Image img = base.img;
  std::set<std::string> touched;
  for (const Damage& d : damages) {
    d.apply(img);
    touched.insert(d.touched.begin(), d.touched.end());
  }
  const std::string path = tmp.file("vol.img");
  img.save(path);

  RunResult r = fsck("-n", path);
  EXPECT_TRUE(r.exited(4)) << describe(r);
  for (const Damage& d : damages) EXPECT_NE(first_line_with(r.out, d.reported), "") << d.reported << "\n" << r.out;
  EXPECT_EQ(read_file(path), img.bytes()) << "-n changed the image";

  r = fsck("-y", path);
  EXPECT_TRUE(r.exited(1)) << describe(r);
  Image repaired = Image::load(path);
  EXPECT_EQ(check_volume(repaired), std::vector<std::string>{}) << r.out;
  r = fsck("-n", path);
  EXPECT_TRUE(r.exited(0)) << describe(r);
  expect_untouched(repaired, base, touched);
}

const Dir kRoot;

Dir sub_of(const Image& v) { return v.subdir(kRoot, 2); }

std::vector<Damage> damages() {
  return {
      {"stale counter", [](Image& v) { v.set_free_counter(v.free_counter() + 7); },
       "free-block counter: is", {}},
      {"leaked chain", [](Image& v) { v.link_chain({200, 201, 205}); }, "block 200: chain of 3 blocks", {}},
      {"count too high", [](Image& v) { v.set_entry_field(kRoot, 2, 14, 2, 5); },
       "/SUB: count 5 but the directory holds 2 entries", {}},
      {"directory in two places, link names the old one",
       [](Image& v) { v.set_entry(kRoot, 6, v.entry(sub_of(v), 2)); },
       "/DEEPER: second entry of directory /SUB/DEEPER", {}},
      {"directory in two places, link names the new one",
       [](Image& v) {
         v.set_entry(kRoot, 6, v.entry(sub_of(v), 2));
         v.set_entry_field(v.subdir(sub_of(v), 2), 0, 16, 2, 6).set_entry_field(v.subdir(sub_of(v), 2), 0, 18, 4, 3);
       },
       "/SUB/DEEPER: second entry of directory /DEEPER", {"HAT"}},
      {"first block free (old-version residue)",
       [](Image& v) { v.add_file_on(kRoot, 7, "LOST", 3, {300, 301, 302, 303}, -1, -1, false); },
       "/LOST: first block 300 is free", {}},
      {"chain runs into a free block inside its run", [](Image& v) { v.set_fat(11, 0); },
       "/SONG: chain runs into free block 11", {}},
      {"loop", [](Image& v) { v.set_fat(13, 10); }, "/SONG: chain loops back to block 10", {}},
      {"bad block", [](Image& v) { v.set_fat(12, 2); }, "/SONG: chain runs into bad block 12", {"SONG"}},
      {"out of range", [](Image& v) { v.set_fat(11, 99999); },
       "/SONG: chain leaves the data area after block 11 (next 99999)", {"SONG"}},
      {"size too small", [](Image& v) { v.set_entry_field(kRoot, 1, 14, 2, 3); },
       "/SONG: size field 3 but the chain has 4 blocks", {}},
      {"contiguous count too high", [](Image& v) { v.set_entry_field(kRoot, 3, 16, 2, 3); },
       "/SPLIT: contiguous count 3 but the chain starts with 2 adjacent blocks", {}},
      {"shared blocks", [](Image& v) { v.set_fat(35, 12); }, "/SPLIT: block 12 is also in the chain of /SONG",
       {"SPLIT"}},
      {"parent link out of place", [](Image& v) { v.set_entry(kRoot, 8, Entry{.type = 8, .name = "UP", .first = 3}); },
       "/UP: parent link out of place", {}},
      {"first block outside the data area",
       [](Image& v) { v.set_entry(kRoot, 8, Entry{.type = 3, .name = "ODD", .size = 1, .cont = 1, .first = 2}); },
       "/ODD: first block 2 lies outside the data area", {}},
      {"parent link names another entry", [](Image& v) { v.set_entry_field(sub_of(v), 0, 16, 2, 9); },
       "/SUB: parent link names entry 9 of block 3, not entry 2 of block 3", {}},
      {"entry 0 of a subdirectory is a file", [](Image& v) { v.set_entry_field(sub_of(v), 0, 1, 1, 5); },
       "/SUB: entry 0 has type 5, not a parent link", {}},
      {"directory block free", [](Image& v) { v.set_fat(14, 0); }, "/SUB: directory block 14 is free", {}},
      {"directory blocks not adjacent",
       [](Image& v) {
         v.set_fat(14, 60).set_fat(60, 1).set_fat(15, 0);
         v.set_dir_bytes(Dir{.b0 = 14, .b1 = 60}, v.dir_bytes(sub_of(v)));
       },
       "/SUB: directory chain is not two adjacent blocks", {}},
      {"directory signature", [](Image& v) { v.put_text(15 * kBlockSize + 510, "XX"); },
       "/SUB: directory lacks its signature", {}},
      {"FAT signature", [](Image& v) { v.put_text(6 * kBlockSize + 510, "XX"); }, "FAT block 6: lacks its signature",
       {}},
      {"directory cycle",
       [](Image& v) {
         Dir deeper = v.subdir(sub_of(v), 2);
         v.set_entry(deeper, 5, Entry{.type = 2, .name = "BACK", .cont = 2, .first = 14});
         v.bump_count(deeper);
       },
       "/SUB/DEEPER/BACK: second entry of directory /SUB", {}},
      {"link to a directory (ln)", [](Image& v) { v.set_entry(kRoot, 9, v.entry(kRoot, 2)); },
       "/SUB: second entry of directory /SUB", {}},
      {"lost subdirectory",
       [](Image& v) {
         Dir lost = v.add_subdir(kRoot, 10, "GONE");
         v.add_file(lost, 1, "SNARE", 3, 3, 9);
         v.set_entry_field(kRoot, 10, 1, 1, 0);
       },
       "directory at blocks", {}},
  };
}

std::vector<Damage> pick(std::initializer_list<const char*> names) {
  std::vector<Damage> out;
  for (const char* n : names)
    for (const Damage& d : damages())
      if (d.name == n) out.push_back(d);
  EXPECT_EQ(out.size(), names.size());
  return out;
}

class Fsck : public ::testing::Test {
 protected:
  TempDir tmp;
};

TEST_F(Fsck, RepairsEachKindOfDamage) {
  const Volume base = tree();
  ASSERT_EQ(check_volume(base.img), std::vector<std::string>{});
  for (const Damage& d : damages()) {
    SCOPED_TRACE(d.name);
    check_and_repair(base, {d}, tmp);
  }
}

TEST_F(Fsck, RepairsStackedDamage) {
  const Volume base = tree();
  // What a crash leaves behind, all at once; then a badly damaged disk.
  check_and_repair(base, pick({"stale counter", "leaked chain", "count too high",
                               "directory in two places, link names the old one",
                               "first block free (old-version residue)"}),
                   tmp);
  check_and_repair(base, pick({"loop", "parent link names another entry", "shared blocks", "directory cycle",
                               "parent link out of place", "lost subdirectory", "FAT signature",
                               "directory block free", "stale counter"}),
                   tmp);
}

#ifdef ZVK_CRASH_SHIM
// A crash of zvkfsck itself before any one of its writes leaves a volume
// that the next run repairs completely, with every untouched file intact.
TEST_F(Fsck, ACrashAtAnyWriteLeavesNothingWorse) {
  const Volume base = tree();
  Image damaged = base.img;
  std::set<std::string> touched;
  for (const Damage& d : pick({"stale counter", "leaked chain", "count too high",
                               "directory in two places, link names the old one",
                               "first block free (old-version residue)", "loop", "size too small",
                               "shared blocks", "lost subdirectory", "directory block free",
                               "parent link out of place", "FAT signature"})) {
    d.apply(damaged);
    touched.insert(d.touched.begin(), d.touched.end());
  }
  const std::string path = tmp.file("vol.img");
  for (int n = 1;; ++n) {
    SCOPED_TRACE("crash before write " + std::to_string(n));
    damaged.save(path);
    const std::string cmd = "LD_PRELOAD=" + std::string(ZVK_CRASH_SHIM) + " ZVK_CRASH_AT=" +
                            std::to_string(n) + " " + kFsck + " -y " + path + " >/dev/null";
    RunResult r = run({"/bin/sh", "-c", cmd}, "");
    if (r.exited(1)) {  // no crash: every write was made (34 of them)
      EXPECT_GT(n, 20);
      break;
    }
    ASSERT_TRUE(r.exited(99)) << describe(r);
    r = fsck("-y", path);
    ASSERT_TRUE(r.exited(1) || r.exited(0)) << describe(r);
    Image after = Image::load(path);
    ASSERT_EQ(check_volume(after), std::vector<std::string>{}) << r.out;
    ASSERT_TRUE(fsck("-n", path).exited(0));
    expect_untouched(after, base, touched);
    ASSERT_LT(n, 500);
  }
}

// Each state a crash of zvkfsck -y leaves, before each of its writes in turn,
// that holds more than a crash may leave (one line each).
std::vector<std::string> states_beyond_residue(const Image& damaged, const std::string& path) {
  std::vector<std::string> bad;
  for (int n = 1; n < 200; ++n) {
    damaged.save(path);
    const std::string cmd = "LD_PRELOAD=" + std::string(ZVK_CRASH_SHIM) + " ZVK_CRASH_AT=" +
                            std::to_string(n) + " " + kFsck + " -y " + path + " >/dev/null";
    RunResult r = run({"/bin/sh", "-c", cmd}, "");
    if (!r.exited(99)) break;
    const std::vector<std::string> p = check_volume(Image::load(path), crash_residue());
    if (!p.empty()) bad.push_back("crash before write " + std::to_string(n) + ": " + p.front());
  }
  return bad;
}

// A FOUND that holds 18 entries, with one lost chain to save: its entry is
// entry 19, whose type and name lie in the first block of the folder and
// its first block in the second. A crash between the two never leaves an
// entry that names block 0.
TEST_F(Fsck, ACrashNeverLeavesHalfOfEntry19) {
  Volume v = tree();
  Dir found = v.img.add_subdir(kRoot, 5, "FOUND");
  for (int i = 1; i <= 18; ++i) v.img.add_file(found, i, "FILE00" + std::to_string(10 + i), 31, 1, i);
  v.img.link_chain({300, 301});
  EXPECT_EQ(join_lines(states_beyond_residue(v.img, tmp.file("vol.img"))), "");
}

// A lost folder reattached in FOUND has its parent link rewritten before
// the entry that leads to it is made: a crash in between leaves the folder
// lost as it was, never reachable with a link that names another place.
TEST_F(Fsck, ACrashNeverLeavesAReattachedFolderWithItsOldLink) {
  Volume v = tree();
  Dir lost = v.img.add_subdir(kRoot, 10, "GONE");
  v.img.add_file(lost, 1, "SNARE", 3, 3, 9);
  v.img.set_entry_field(kRoot, 10, 1, 1, 0);
  EXPECT_EQ(join_lines(states_beyond_residue(v.img, tmp.file("vol.img"))), "");
}
#endif

TEST_F(Fsck, SalvagesLostChainsIntoFound) {
  Volume base = tree();
  Image& img = base.img;
  img.link_chain({200, 201, 205});
  const std::vector<std::uint8_t> data = pattern(3 * kBlockSize, 77);
  for (int i = 0; i < 3; ++i)
    std::copy(data.begin() + i * kBlockSize, data.begin() + (i + 1) * kBlockSize, img.block(i == 2 ? 205 : 200 + i));
  img.set_fat(250, 1);  // a single lost block
  const std::string path = tmp.file("vol.img");
  img.save(path);
  RunResult r = fsck("-y", path);
  ASSERT_TRUE(r.exited(1)) << describe(r);
  Image out = Image::load(path);
  EXPECT_EQ(check_volume(out), std::vector<std::string>{});
  Dir found = out.subdir(kRoot, 5);
  EXPECT_EQ(out.entry(kRoot, 5).name, padded_name("FOUND"));
  EXPECT_EQ(out.entry(kRoot, 5).size, 2);
  Entry f1 = out.entry(found, 1);
  EXPECT_EQ(f1.name, padded_name("FILE0001"));
  EXPECT_EQ(f1.type, 31);
  EXPECT_EQ(f1.size, 3);
  EXPECT_EQ(f1.cont, 2);
  EXPECT_EQ(out.chain_data(out.follow(f1.first)), data);
  EXPECT_EQ(out.entry(found, 2).name, padded_name("FILE0002"));
  // A second loss later goes on with the numbers in the same FOUND.
  out.set_fat(260, 1).set_free_counter(out.free_counter() - 1).save(path);
  ASSERT_TRUE(fsck("-y", path).exited(1));
  EXPECT_EQ(Image::load(path).entry(found, 3).name, padded_name("FILE0003"));
}

TEST_F(Fsck, ReattachesALostTreeWhole) {
  Volume base = tree();
  Image& img = base.img;
  Dir gone = img.add_subdir(kRoot, 10, "GONE");
  FileInfo snare = img.add_file(gone, 1, "SNARE", 3, 3, 9);
  Dir inner = img.add_subdir(gone, 2, "INNER");
  FileInfo tom = img.add_file(inner, 1, "TOM", 3, 2, 10);
  img.set_entry_field(kRoot, 10, 1, 1, 0);
  const std::string path = tmp.file("vol.img");
  img.save(path);
  RunResult r = fsck("-y", path);
  ASSERT_TRUE(r.exited(1)) << describe(r);
  EXPECT_NE(first_line_with(r.out, "reattached as FOUND/DIR0001"), "") << r.out;
  Image out = Image::load(path);
  EXPECT_EQ(check_volume(out), std::vector<std::string>{}) << r.out;
  Dir found = out.subdir(kRoot, 5);
  Dir dir = out.subdir(found, 1);
  EXPECT_EQ(out.entry(found, 1).name, padded_name("DIR0001"));
  EXPECT_EQ(out.chain_data(out.follow(out.entry(dir, 1).first)), snare.data);
  EXPECT_EQ(out.chain_data(out.follow(out.entry(out.subdir(dir, 2), 1).first)), tom.data);
}

// A FOUND whose parent link names another entry still takes a lost folder
// (the link is put right first, as the layer raises counts through it), and
// the report says what the link was.
TEST_F(Fsck, LostFolderGoesIntoAFoundWithAWrongLink) {
  Volume v = tree();
  Dir found = v.img.add_subdir(kRoot, 5, "FOUND");
  v.img.add_file(found, 1, "FILE0001", 31, 1, 7);
  v.img.set_entry_field(found, 0, 16, 2, 9);
  Dir lost = v.img.add_subdir(kRoot, 10, "GONE");
  v.img.add_file(lost, 1, "SNARE", 3, 3, 9);
  v.img.set_entry_field(kRoot, 10, 1, 1, 0);
  const std::string path = tmp.file("vol.img");
  v.img.save(path);
  RunResult r = fsck("-y", path);
  ASSERT_TRUE(r.exited(1)) << describe(r);
  EXPECT_NE(first_line_with(r.out, "reattached as FOUND/DIR0001"), "") << r.out;
  EXPECT_NE(first_line_with(r.out, "/FOUND: parent link names entry 9 of block 3, not entry 5 of block 3"), "")
      << r.out;
  EXPECT_NE(first_line_with(r.out, "/FOUND/DIR0001: parent link names entry 10 of block 3"), "") << r.out;
  Image out = Image::load(path);
  EXPECT_EQ(check_volume(out), std::vector<std::string>{}) << r.out;
  EXPECT_EQ(out.entry(out.subdir(kRoot, 5), 2).name, padded_name("DIR0001"));
  EXPECT_EQ(out.entry(kRoot, 6).type, 0);  // no FOUND2
}

// A directory whose first block is free and whose next block belongs to a
// chain moves to the lowest free pair, which may take in its old first block.
TEST_F(Fsck, MovedDirectoryMayReuseItsOldBlock) {
  Image img = Image::formatted(30);
  Dir d = img.add_subdir(kRoot, 1, "D", 7);  // 7, 8; block 6 stays free
  FileInfo f = img.add_file_on(d, 1, "F", 3, {12});
  img.set_fat(7, 0).set_fat(8, 20).set_fat(20, 1);
  const std::string path = tmp.file("vol.img");
  img.save(path);
  RunResult r = fsck("-y", path);
  EXPECT_NE(first_line_with(r.out, "/D: directory block 7 is free (directory moved to blocks 6-7)"), "") << r.out;
  Image out = Image::load(path);
  EXPECT_EQ(check_volume(out), std::vector<std::string>{}) << r.out;
  EXPECT_TRUE(fsck("-n", path).exited(0));
  EXPECT_EQ(out.chain_data(out.follow(out.entry(out.subdir(kRoot, 1), 1).first)), f.data);
}

TEST_F(Fsck, ImageShorterThanItsTotalIsLeftAlone) {
  Image img = tree().img;
  img.truncate_bytes(300 * kBlockSize);
  const std::string path = tmp.file("vol.img");
  img.save(path);
  for (const char* mode : {"-n", "-y"}) {
    RunResult r = fsck(mode, path);
    EXPECT_TRUE(r.exited(4)) << describe(r);
    EXPECT_NE(first_line_with(r.out, "image holds 300 blocks but TOTAL_BLK_NR is 400"), "");
    EXPECT_EQ(read_file(path), img.bytes());
  }
}

TEST_F(Fsck, UsageOpenErrorsAndLock) {
  const std::string path = tmp.file("vol.img");
  Image img = tree().img;
  img.set_free_counter(1).save(path);
  EXPECT_TRUE(run({kFsck}, "").exited(16));
  EXPECT_TRUE(run({kFsck, "-n", "-y", path}, "").exited(16));
  EXPECT_TRUE(run({kFsck, "-x", path}, "").exited(16));
  EXPECT_TRUE(run({kFsck, "-n", tmp.file("absent.img")}, "").exited(8));
  Image::blank(0, 10).save(tmp.file("zero.img"));
  EXPECT_TRUE(run({kFsck, "-n", tmp.file("zero.img")}, "").exited(8));

  // Without -n or -y and without a terminal: a check only.
  RunResult r = run({kFsck, path}, "y\ny\n");
  EXPECT_TRUE(r.exited(4)) << describe(r);
  EXPECT_EQ(read_file(path), img.bytes());

  // Another program holds the volume: -n checks it, repair refuses.
  int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(fsck("-n", path).exited(4));
  r = fsck("-y", path);
  EXPECT_TRUE(r.exited(8)) << describe(r);
  EXPECT_NE(r.err.find("in use by another program"), std::string::npos);
  ::close(fd);
  EXPECT_EQ(read_file(path), img.bytes());
  EXPECT_TRUE(fsck("-y", path).exited(1));
}

// zvkfsck on a terminal with the answers typed ahead: its transcript
// (problem lines, questions and echoed answers) and exit status.
std::pair<std::string, int> on_terminal(const std::string& path, const std::string& answers) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execl(kFsck.c_str(), kFsck.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_GT(pid, 0);
  EXPECT_EQ(write(master, answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(Fsck, AsksOnATerminal) {
  Image img = tree().img;
  img.link_chain({200, 201});
  img.set_fat(250, 1).set_fat(260, 1);
  const std::string path = tmp.file("vol.img");
  img.save(path);
  // Decline the first lost chain, save the second, then yes to all.
  auto [out, status] = on_terminal(path, "n\ny\na\n");
  EXPECT_EQ(status, 4) << out;
  EXPECT_NE(out.find("block 200: chain of 2 blocks reached by no entry\r\nsaved as FOUND/FILE0001? [y/n/a] "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("block 250: in use but reached by no entry\r\nsaved as FOUND/FILE0001? [y/n/a] "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("free-block counter: is"), std::string::npos) << out;
  Image after = Image::load(path);
  EXPECT_EQ(after.entry(after.subdir(kRoot, 5), 1).first, 250u);
  EXPECT_EQ(after.entry(after.subdir(kRoot, 5), 2).first, 260u);
  EXPECT_EQ(after.count_free(), after.free_counter());
  // The declined chain is still there; this time answer for all of it.
  std::tie(out, status) = on_terminal(path, "a\n");
  EXPECT_EQ(status, 1) << out;
  EXPECT_EQ(check_volume(Image::load(path)), std::vector<std::string>{});
}

TEST_F(Fsck, VerboseListsWhatItChecked) {
  const std::string path = tmp.file("vol.img");
  tree().img.save(path);
  RunResult r = run({kFsck, "-v", "-n", path}, "");
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_NE(r.out.find("checking /SUB/DEEPER/"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("6 files, 2 directories, 20 blocks used, 372 blocks free\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace zvktest
