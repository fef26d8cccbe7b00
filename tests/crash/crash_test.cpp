// A session that changes the volume with every changing command, in the
// root and in subdirectories, stopped right before each of its writes and
// replayed as power cuts: every state holds only what a crash may leave
// (blocks no entry reaches, a stale free counter, a count too high, a
// moved entry in both directories), and every file holds its own data.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "checker.h"
#include "replay.h"

namespace zvktest {
namespace {

// Root: files in 1-17, subdirectory SUB in 18 holding files in 1-18, so
// the first new entry in either is entry 19, which straddles the blocks.
// The free counter is off by three for df -c to mend.
struct CrashVolume {
  Image img = Image::formatted(1600, {10, 2, 80}, "crash");
  std::set<std::vector<std::uint8_t>> contents;

  CrashVolume() {
    for (int i = 1; i <= 17; ++i) contents.insert(img.add_file(img.root(), i, "F" + std::to_string(i), 3, 1, i).data);
    Dir sub = img.add_subdir(img.root(), 18, "SUB");
    for (int i = 1; i <= 18; ++i) contents.insert(img.add_file(sub, i, "S" + std::to_string(i), 3, 1, 100 + i).data);
    img.set_free_counter(img.count_free() + 3);
  }
};

const char* const kSession =
    "df -c\nput a.bin A 3\nloados os.bin OS\ncp 19 ACOPY\nmkdir D1\nchname A2 20\nchtype 9 20\n"
    "ln 19\ny\nrm -e 22\ny\n"
    "cd 18\nput b.bin B 3\ncp 19 BCOPY\nmkdir D2\nln 20\ny\nchname BNEW 20\nchtype 9 20\n"
    "mv 20 21\ncd 21\nmkdir D3\nput c.bin C 3\nmv 1 0\nmv 2 0\ncd ..\nrm -e 22\ny\nrm 19\n"
    "mv 23 21\nmv 21 0\ncd ..\nmv 21 18\nmv 1 18\n"
    "cd 22\ncd 1\nput c.bin CC 3\nrm 1\ncd ..\nrmdir 1\nrm 3\ncd ..\nrmdir 22\nrm 20\nrm 19\n"
    "cd 18\nrmdir 19\nrm 20\ncd\ndf\nls\n";

class Crash : public ::testing::Test {
 protected:
  TempDir tmp;
  CrashVolume vol;
  std::string image = tmp.file("vol.img");

  void SetUp() override {
    const std::pair<const char*, std::vector<std::uint8_t>> files[] = {
        {"a.bin", pattern(1200, 71)}, {"b.bin", pattern(700, 72)}, {"c.bin", pattern(100, 73)},
        {"os.bin", pattern(1500, 74)}};
    for (const auto& [name, data] : files) {
      write_file(tmp.file(name), data);
      std::vector<std::uint8_t> whole = data;
      whole.resize((data.size() + kBlockSize - 1) / kBlockSize * kBlockSize);
      vol.contents.insert(whole);
    }
  }

  // The session run to its end with its write log.
  std::vector<LogRecord> clean_log() {
    vol.img.save(image);
    Faults f;
    f.log = tmp.file("session.log");
    RunResult r = run_faulty(image, kSession, f, tmp.path());
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
    return read_log(f.log);
  }

  // Only crash residue, and every file's data its own.
  void expect_residue_only(const Image& img, const std::string& state) {
    std::vector<std::string> p = check_volume(img, crash_residue());
    for (const std::string& d : check_file_data(img, vol.contents)) p.push_back(d);
    EXPECT_TRUE(p.empty()) << state << ":\n" << join_lines(p);
  }
};

// The checker's crash options accept exactly the residue: each kind alone
// passes them (and fails the default check), other damage does not.
TEST(CrashResidue, CheckerAcceptsOnlyTheResidue) {
  auto base = [] {
    Image img = Image::formatted(1600, {10, 2, 80}, "res");
    Dir a = img.add_subdir(img.root(), 1, "A");
    img.add_subdir(img.root(), 2, "B");
    img.add_file(a, 1, "F", 3, 2, 1);
    img.add_subdir(a, 2, "M");
    return img;
  };
  struct Case {
    const char* what;
    bool residue;
    void (*damage)(Image&);
  } cases[] = {
      {"leaked blocks", true, [](Image& i) { i.link_chain(i.free_blocks(3)); }},
      {"stale counter", true, [](Image& i) { i.set_free_counter(i.free_counter() + 7); }},
      {"count too high", true, [](Image& i) { i.bump_count(i.subdir(i.root(), 1)); }},
      {"moved directory in both places, link old", true,
       [](Image& i) {
         i.set_entry(i.subdir(i.root(), 2), 1, i.entry(i.subdir(i.root(), 1), 2));
         i.bump_count(i.subdir(i.root(), 2));
       }},
      {"moved directory in both places, link new", true,
       [](Image& i) {
         Dir b = i.subdir(i.root(), 2);
         i.set_entry(b, 1, i.entry(i.subdir(i.root(), 1), 2));
         i.bump_count(b);
         i.set_entry_field(i.subdir(b, 1), 0, 16, 2, 1);
         i.set_entry_field(i.subdir(b, 1), 0, 18, 4, b.b0);
       }},
      {"count too low", false, [](Image& i) { i.bump_count(i.subdir(i.root(), 1), -1); }},
      {"entry on a free chain", false,
       [](Image& i) { i.set_fat(i.entry(i.subdir(i.root(), 1), 1).first, 0).sync_free_counter(); }},
      {"moved directory only where its link does not lead", false,
       [](Image& i) {
         Dir a = i.subdir(i.root(), 1);
         i.set_entry(i.subdir(i.root(), 2), 1, i.entry(a, 2));
         i.bump_count(i.subdir(i.root(), 2));
         i.set_entry_field(a, 2, 1, 1, 0);
       }},
  };
  EXPECT_EQ(join_lines(check_volume(base())), "");
  for (const Case& c : cases) {
    Image img = base();
    c.damage(img);
    EXPECT_FALSE(check_volume(img).empty()) << c.what;
    EXPECT_EQ(check_volume(img, crash_residue()).empty(), c.residue)
        << c.what << "\n" << join_lines(check_volume(img, crash_residue()));
  }
}

std::size_t writes_in(const std::vector<LogRecord>& log) {
  std::size_t n = 0;
  for (const LogRecord& r : log) n += !r.barrier;
  return n;
}

TEST_F(Crash, CleanSessionEndsConsistentAndItsLogRebuildsIt) {
  std::vector<LogRecord> log = clean_log();
  Image done = Image::load(image);
  EXPECT_EQ(join_lines(check_volume(done)), "");
  EXPECT_EQ(join_lines(check_file_data(done, vol.contents)), "");
  EXPECT_TRUE(replay_all(vol.img.bytes(), log) == done.bytes());

  // The normal build does exactly the same.
  vol.img.save(image);
  RunResult faulty = run_faulty(image, kSession, {}, tmp.path());
  std::vector<std::uint8_t> faulty_image = read_file(image);
  vol.img.save(image);
  RunOptions opt;
  opt.cwd = tmp.path();
  RunResult normal = run({ZVKFM_PATH, image}, kSession, opt);
  EXPECT_EQ(normal.out, faulty.out);
  EXPECT_EQ(normal.err, faulty.err);
  EXPECT_TRUE(read_file(image) == faulty_image);
}

TEST_F(Crash, KilledBeforeEveryWrite) {
  const std::size_t writes = writes_in(clean_log());
  ASSERT_GT(writes, 100u);
  for (unsigned long n = 1; n <= writes; ++n) {
    vol.img.save(image);
    Faults f;
    f.kill = n;
    RunResult r = run_faulty(image, kSession, f, tmp.path());
    ASSERT_EQ(r.term_signal, SIGKILL) << "write " << n << "\n" << describe(r);
    expect_residue_only(Image::load(image), "killed before write " + std::to_string(n));
    if (HasFailure()) break;
  }
}

TEST_F(Crash, PowerCutStates) {
  std::vector<LogRecord> log = clean_log();
  const char* env = std::getenv("ZVK_CRASH_STATES");
  const int states = env ? std::atoi(env) : 400;
  std::mt19937 rng(12);
  for (int i = 0; i < states && !HasFailure(); ++i)
    expect_residue_only(Image(power_cut(vol.img.bytes(), log, rng)), "power-cut state " + std::to_string(i));
}

#ifdef ZVKFSCK_PATH
// zvkfsck cleans up what a crash leaves: on states killed before a write and
// on power-cut states, -n reports and changes nothing, -y leaves a volume
// the strict checker passes, and a second check finds nothing.
TEST_F(Crash, ZvkfsckRepairsTheResidue) {
  std::vector<LogRecord> log = clean_log();
  const std::size_t writes = writes_in(log);
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> states;
  for (unsigned long n = 1; n <= writes; n += 13) {
    vol.img.save(image);
    Faults f;
    f.kill = n;
    run_faulty(image, kSession, f, tmp.path());
    states.emplace_back("killed before write " + std::to_string(n), read_file(image));
  }
  std::mt19937 rng(34);
  for (int i = 0; i < 30; ++i)
    states.emplace_back("power-cut state " + std::to_string(i), power_cut(vol.img.bytes(), log, rng));
  int repaired = 0;
  for (const auto& [state, bytes] : states) {
    write_file(image, bytes);
    RunResult check = run({ZVKFSCK_PATH, "-n", image}, "");
    EXPECT_TRUE(check.exited(0) || check.exited(4)) << state << "\n" << describe(check);
    EXPECT_TRUE(read_file(image) == bytes) << state;
    RunResult repair = run({ZVKFSCK_PATH, "-y", image}, "");
    EXPECT_TRUE(repair.exited(0) || repair.exited(1)) << state << "\n" << describe(repair);
    repaired += repair.exited(1);
    EXPECT_EQ(join_lines(check_volume(Image::load(image))), "") << state;
    EXPECT_TRUE(run({ZVKFSCK_PATH, "-n", image}, "").exited(0)) << state;
    if (HasFailure()) break;
  }
  EXPECT_GT(repaired, 10) << "most states should hold some residue";
}
#endif

// Barriers each command pays (the end-of-session sync not counted; a
// command's last writes are ordered by the next command's first barrier),
// and no write and no barrier for commands that change nothing. Root: files 1 and 2, SUB in 3
// holding file 1; the counter is off by one.
TEST_F(Crash, BarriersPerCommand) {
  Image img = Image::formatted(1600, {10, 2, 80}, "bar");
  img.add_file(img.root(), 1, "F1", 3, 2, 1);
  img.add_file(img.root(), 2, "F2", 3, 1, 2);
  Dir sub = img.add_subdir(img.root(), 3, "SUB");
  img.add_file(sub, 1, "S1", 3, 1, 3);
  img.set_free_counter(img.count_free() + 1);
  struct Case {
    const char* script;
    int barriers;
  } cases[] = {
      {"ls\npwd\ndf\nlabel\nfatlist 1\nget 1 x.out\ncd 3\nls\ncd ..\nhelp\nmv 1 1\nrm 9\n", 0},
      {"put a.bin 3\n", 1},         // chain and data | entry
      {"loados os.bin OS\n", 1},
      {"cp 1 C\n", 1},
      {"mkdir D\n", 1},
      {"cd 3\nput c.bin 3\n", 1},   // chain, data, count | entry
      {"cd 3\nmkdir D\n", 1},
      {"rm 1\n", 1},                // entry | chain
      {"cd 3\nrm 1\n", 1},          // entry | count and chain
      {"rm -e 1\ny\n", 0},
      {"cd 3\nrm -e 1\ny\n", 1},
      {"chname X 1\n", 0},
      {"chtype 9 1\n", 0},
      {"df -c\n", 0},
      {"ln 1\ny\n", 0},
      {"cd 3\nln 1\ny\n", 1},       // count | entry
      {"mv 1 3\n", 2},              // count | new entry | old entry
      {"cd 3\nmv 1 0\n", 2},        // new entry | old entry | count
      {"mkdir D\nmv 4 3\n", 1 + 4}, // count | new entry | parent link | old entry |
      {"cd 3\nmkdir D\nmv 2 0\n", 1 + 3},  // new entry | parent link | old entry | count
  };
  for (const Case& c : cases) {
    img.save(image);
    Faults f;
    f.log = tmp.file("b.log");
    std::remove(f.log.c_str());
    RunResult r = run_faulty(image, c.script, f, tmp.path());
    const bool refused = c.script[0] == 'l' && c.script[1] == 's';  // its last two commands are refused
    EXPECT_EQ(r.err.find("error") == std::string::npos, !refused) << c.script << r.err;
    std::vector<LogRecord> log = read_log(f.log);
    int barriers = 0;
    for (const LogRecord& l : log) barriers += l.barrier;
    EXPECT_EQ(barriers - 1, c.barriers) << c.script;
    if (refused) {
      EXPECT_EQ(writes_in(log), 0u) << c.script;
    }
  }
}

}  // namespace
}  // namespace zvktest
