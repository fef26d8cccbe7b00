// zvkfsck repairing into a FOUND that already holds 18 entries, so that its
// first new entry is entry 19, the one that straddles the two blocks of a
// folder: a lost folder to reattach, lost files to save and a stale
// counter. Stopped right before each of its writes, and its writes replayed
// as power cuts, every state holds only what a crash may leave and every
// file its own data; a second zvkfsck -y then repairs the state fully, with
// every file of the volume reachable again.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "checker.h"
#include "replay.h"

namespace zvktest {
namespace {

// Root: FOUND in 1 holding FILE0001-FILE0018, KICK in 2; the folder GONE
// (two files) once in 3 and the files once in 4-6 are named by no entry.
struct LostVolume {
  Image img = Image::formatted(1600, {10, 2, 80}, "lost");
  std::set<std::vector<std::uint8_t>> contents;  // the data of every file

  LostVolume() {
    Dir found = img.add_subdir(img.root(), 1, "FOUND");
    for (int i = 1; i <= 18; ++i) {
      const std::string name = std::string(i < 10 ? "FILE000" : "FILE00") + std::to_string(i);
      contents.insert(img.add_file(found, i, name, 31, 2, static_cast<std::uint32_t>(i)).data);
    }
    contents.insert(img.add_file(img.root(), 2, "KICK", 3, 4, 40).data);
    Dir gone = img.add_subdir(img.root(), 3, "GONE");
    contents.insert(img.add_file(gone, 1, "SNARE", 3, 3, 41).data);
    contents.insert(img.add_file(gone, 2, "HAT", 3, 1, 42).data);
    contents.insert(img.add_file(img.root(), 4, "L1", 3, 3, 43).data);
    contents.insert(img.add_file(img.root(), 5, "L2", 3, 1, 44).data);
    contents.insert(img.add_file(img.root(), 6, "L3", 3, 2, 45).data);
    for (int slot = 3; slot <= 6; ++slot) img.set_entry_field(img.root(), slot, 1, 1, 0);
    img.set_free_counter(img.count_free() + 5);
  }
};

// The data of every file reachable from the root (loop-safe).
void reachable_data(const Image& img, const Dir& d, int depth, std::set<std::uint32_t>& seen,
                    std::set<std::vector<std::uint8_t>>& out) {
  if (depth > 16 || !seen.insert(d.b0).second) return;
  for (int i = 0; i < kDirEntries; ++i) {
    const Entry e = img.entry(d, i);
    if (e.type == 0 || e.type == kTypeParent) continue;
    if (e.type == kTypeSubdir) {
      reachable_data(img, img.subdir(d, i), depth + 1, seen, out);
    } else {
      out.insert(img.chain_data(img.follow(e.first, e.size)));
    }
  }
}

class FsckCrash : public ::testing::Test {
 protected:
  TempDir tmp;
  LostVolume vol;
  std::string image = tmp.file("vol.img");
  int dangerous = 0;
  std::string first_dangers;

  std::vector<LogRecord> clean_log() {
    vol.img.save(image);
    Faults f;
    f.log = tmp.file("fsck.log");
    RunResult r = run_with_faults({ZVKFSCK_FAULTS_PATH, "-y", image}, "", f);
    EXPECT_TRUE(r.exited(1)) << describe(r);
    return read_log(f.log);
  }

  // Counts the state as dangerous when it holds more than crash residue.
  void judge(const Image& img, const std::string& state) {
    std::vector<std::string> p = check_volume(img, crash_residue());
    for (const std::string& d : check_file_data(img, vol.contents)) p.push_back(d);
    if (p.empty()) return;
    if (++dangerous <= 3) first_dangers += state + ":\n" + join_lines(p);
  }

  // A second zvkfsck -y leaves a consistent volume with every file on it.
  void expect_repaired(const std::vector<std::uint8_t>& bytes, const std::string& state) {
    write_file(image, bytes);
    RunResult r = run({ZVKFSCK_PATH, "-y", image}, "");
    ASSERT_TRUE(r.exited(0) || r.exited(1)) << state << "\n" << describe(r);
    const Image out = Image::load(image);
    ASSERT_EQ(join_lines(check_volume(out)), "") << state << "\n" << r.out;
    std::set<std::uint32_t> seen;
    std::set<std::vector<std::uint8_t>> held;
    reachable_data(out, out.root(), 0, seen, held);
    for (const auto& c : vol.contents) ASSERT_TRUE(held.contains(c)) << state << ": a file was lost\n" << r.out;
    ASSERT_TRUE(run({ZVKFSCK_PATH, "-n", image}, "").exited(0)) << state;
  }
};

std::size_t writes_in(const std::vector<LogRecord>& log) {
  std::size_t n = 0;
  for (const LogRecord& r : log) n += !r.barrier;
  return n;
}

// The repair itself: the report of the normal build, the same in the fault
// build, a consistent result that its log rebuilds.
TEST_F(FsckCrash, CleanRepairMatchesTheNormalBuild) {
  const std::vector<LogRecord> log = clean_log();
  const std::vector<std::uint8_t> done = read_file(image);
  EXPECT_EQ(join_lines(check_volume(Image(done))), "");
  EXPECT_TRUE(replay_all(vol.img.bytes(), log) == done);
  vol.img.save(image);
  RunResult faulty = run_with_faults({ZVKFSCK_FAULTS_PATH, "-y", image}, "", {});
  vol.img.save(image);
  RunResult normal = run({ZVKFSCK_PATH, "-y", image}, "");
  EXPECT_EQ(normal.out, faulty.out);
  EXPECT_EQ(normal.err, "");
  EXPECT_TRUE(read_file(image) == done);
  EXPECT_NE(normal.out.find("(reattached as FOUND/DIR0001)\n"), std::string::npos) << normal.out;
  EXPECT_NE(normal.out.find("(saved as FOUND/FILE0021)\n"), std::string::npos) << normal.out;
  EXPECT_NE(normal.out.find("free-block counter: is"), std::string::npos) << normal.out;
  // The summary counts from the check's copy of the FAT: it is the volume's.
  const std::string free_now = std::to_string(Image(done).count_free()) + " blocks free\n";
  EXPECT_EQ(normal.out.substr(normal.out.size() - free_now.size()), free_now) << normal.out;
}

TEST_F(FsckCrash, KilledBeforeEveryWrite) {
  const std::size_t writes = writes_in(clean_log());
  ASSERT_GT(writes, 10u);
  for (unsigned long n = 1; n <= writes; ++n) {
    vol.img.save(image);
    Faults f;
    f.kill = n;
    RunResult r = run_with_faults({ZVKFSCK_FAULTS_PATH, "-y", image}, "", f);
    ASSERT_EQ(r.term_signal, SIGKILL) << "write " << n << "\n" << describe(r);
    const std::string state = "killed before write " + std::to_string(n);
    const std::vector<std::uint8_t> bytes = read_file(image);
    judge(Image(bytes), state);
    expect_repaired(bytes, state);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(dangerous, 0) << "of " << writes << " states\n" << first_dangers;
}

TEST_F(FsckCrash, PowerCutStates) {
  const std::vector<LogRecord> log = clean_log();
  const char* env = std::getenv("ZVK_CRASH_STATES");
  const int states = env ? std::atoi(env) : 500;
  std::mt19937 rng(20);
  for (int i = 0; i < states; ++i) {
    const std::string state = "power-cut state " + std::to_string(i);
    const std::vector<std::uint8_t> bytes = power_cut(vol.img.bytes(), log, rng);
    judge(Image(bytes), state);
    expect_repaired(bytes, state);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(dangerous, 0) << "of " << states << " states\n" << first_dangers;
}

}  // namespace
}  // namespace zvktest
