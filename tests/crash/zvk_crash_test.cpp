// zvk cp -r stopped right before each of its writes, and its write log
// replayed as power cuts: every state holds only what a crash may leave,
// and every file holds its own data; the same for zvk import of a tar whose
// folders come back and forth. A bulk copy costs one barrier and the sync.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "checker.h"
#include "replay.h"

namespace zvktest {
namespace {

RunResult run_zvk(const std::vector<std::string>& args, const Faults& f, const std::string& cwd) {
  const auto set = [](const char* name, unsigned long v) {
    if (v) setenv(name, std::to_string(v).c_str(), 1);
    else unsetenv(name);
  };
  set("ZVK_FAULT_KILL", f.kill);
  if (f.fail) setenv("ZVK_FAULT_FAIL", (std::to_string(f.fail) + ":" + std::to_string(f.fail_count)).c_str(), 1);
  else unsetenv("ZVK_FAULT_FAIL");
  if (f.log.empty()) unsetenv("ZVK_FAULT_LOG");
  else setenv("ZVK_FAULT_LOG", f.log.c_str(), 1);
  std::vector<std::string> argv{ZVK_FAULTS_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions opt;
  opt.cwd = cwd;
  RunResult r = run(argv, "", opt);
  unsetenv("ZVK_FAULT_KILL");
  unsetenv("ZVK_FAULT_FAIL");
  unsetenv("ZVK_FAULT_LOG");
  return r;
}

std::vector<std::uint8_t> whole(std::vector<std::uint8_t> d) {
  d.resize((d.size() + kBlockSize - 1) / kBlockSize * kBlockSize);
  return d;
}

class ZvkCrash : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string image = tmp.file("vol.img");
  Image base = Image::formatted(1600, {10, 2, 80}, "crash");
  std::set<std::vector<std::uint8_t>> contents;

  // The root holds 17 files and TREE (merged into by the copy), so the copy's
  // first new root entry is entry 19, which straddles the folder's blocks.
  void SetUp() override {
    for (int i = 1; i <= 17; ++i) contents.insert(base.add_file(base.root(), i, "F" + std::to_string(i), 3, 1, i).data);
    Dir tree = base.add_subdir(base.root(), 18, "TREE");
    contents.insert(base.add_file(tree, 1, "OLD", 3, 2, 50).data);
  }

  void host(const std::string& name, std::vector<std::uint8_t> data) {
    for (std::size_t i = 0; (i = name.find('/', i)) != std::string::npos; ++i)
      mkdir(tmp.file(name.substr(0, i)).c_str(), 0755);
    write_file(tmp.file(name), data);
    contents.insert(whole(std::move(data)));
  }

  std::vector<LogRecord> clean_log(const std::vector<std::string>& args) {
    base.save(image);
    Faults f;
    f.log = tmp.file("run.log");
    std::remove(f.log.c_str());
    RunResult r = run_zvk(args, f, tmp.path());
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(join_lines(check_volume_file(image)), "");
    return read_log(f.log);
  }

  // Stopped before each write of a clean run, then power cuts of its log.
  void kill_everywhere(const std::vector<std::string>& args) {
    std::size_t writes = 0;
    for (const LogRecord& r : clean_log(args)) writes += !r.barrier;
    ASSERT_GT(writes, 10u);
    for (unsigned long n = 1; n <= writes && !HasFailure(); ++n) {
      base.save(image);
      Faults f;
      f.kill = n;
      RunResult r = run_zvk(args, f, tmp.path());
      ASSERT_EQ(r.term_signal, SIGKILL) << "write " << n << "\n" << describe(r);
      expect_residue_only(Image::load(image), "killed before write " + std::to_string(n));
    }
    std::vector<LogRecord> log = clean_log(args);
    std::mt19937 rng(21);
    for (int i = 0; i < 200 && !HasFailure(); ++i)
      expect_residue_only(Image(power_cut(base.bytes(), log, rng)), "power-cut state " + std::to_string(i));
  }

  void expect_residue_only(const Image& img, const std::string& state) {
    std::vector<std::string> p = check_volume(img, crash_residue());
    for (const std::string& d : check_file_data(img, contents)) p.push_back(d);
    EXPECT_TRUE(p.empty()) << state << ":\n" << join_lines(p);
  }
};

TEST_F(ZvkCrash, CopyKilledBeforeEveryWrite) {
  host("tree/a.bin", pattern(1500, 1));
  host("tree/b.bin", pattern(1, 2));
  host("tree/sub/c.bin", pattern(700, 3));
  host("tree/sub/deep/d.bin", pattern(5000, 4));
  for (int i = 0; i < 6; ++i) host("tree/many/m" + std::to_string(i), pattern(100 + i, 10 + i));
  host("top.bin", pattern(900, 5));
  kill_everywhere({"cp", "-r", "tree", "top.bin", "vol.img:/"});
}

// Each write refused from some point on (a card pulled, a failing disk):
// the copy says so with status 1 and leaves only what a crash may. One
// write refused alone: the copy is whole, or it says so and gives back
// what it made (a count the refused write half raised may stay high).
TEST_F(ZvkCrash, CopyWhoseWritesFailSaysSoAndLeavesOnlyResidue) {
  host("tree/a.bin", pattern(1500, 1));
  host("tree/sub/c.bin", pattern(700, 3));
  host("tree/sub/deep/d.bin", pattern(5000, 4));
  const std::vector<std::string> args = {"cp", "-r", "tree", "vol.img:/"};
  std::size_t writes = 0;
  for (const LogRecord& r : clean_log(args)) writes += !r.barrier;
  for (unsigned long count : {1000ul, 1ul})
    for (unsigned long n = 1; n <= writes && !HasFailure(); ++n) {
      base.save(image);
      Faults f;
      f.fail = n;
      f.fail_count = count;
      RunResult r = run_zvk(args, f, tmp.path());
      const std::string state = "write " + std::to_string(n) + (count == 1 ? " failed alone" : " on failed");
      const Image img = Image::load(image);
      expect_residue_only(img, state);
      if (count == 1 && r.exited(0)) continue;
      EXPECT_TRUE(r.exited(1)) << state << "\n" << describe(r);
      EXPECT_NE(r.err.find("error: "), std::string::npos) << state;
      CheckOptions high;
      high.count_too_high_ok = true;
      if (count == 1) {
        EXPECT_EQ(join_lines(check_volume(img, high)), "") << state;
      }
    }
}

TEST_F(ZvkCrash, ImportKilledBeforeEveryWrite) {
  host("tree/a.bin", pattern(1500, 1));
  host("tree/sub/c.bin", pattern(700, 3));
  host("tree/sub/deep/d.bin", pattern(5000, 4));
  host("tree/many/m0", pattern(100, 10));
  host("tree/sub/e.bin", pattern(300, 6));
  ASSERT_EQ(::link(tmp.file("tree/a.bin").c_str(), tmp.file("tree/many/a.lnk").c_str()), 0);
  // Folders left and come back to, and a link to a file of another folder.
  RunOptions o;
  o.cwd = tmp.path();
  ASSERT_TRUE(run({"/bin/sh", "-c", "exec tar \"$@\"", "tar", "-cf", "t.tar", "tree/sub/c.bin", "tree/a.bin", "tree/sub/deep/d.bin", "tree/many/m0",
                   "tree/sub/e.bin", "tree/many/a.lnk"}, "", o).exited(0));
  kill_everywhere({"import", "t.tar", "vol.img:/TREE"});
}

TEST_F(ZvkCrash, BulkCopyCostsOneBarrierAndTheSync) {
  for (int d = 0; d < 4; ++d)
    for (int i = 0; i < 30; ++i) host("bulk/d" + std::to_string(d) + "/f" + std::to_string(i), pattern(512 * (1 + i % 3), d * 100 + i));
  int barriers = 0;
  for (const LogRecord& r : clean_log({"cp", "-r", "bulk", "vol.img:/"})) barriers += r.barrier;
  // The chains, the new folders and the root's count; the root's entry
  // (entry 19, which straddles its blocks, so in two ordered writes); the sync.
  EXPECT_LE(barriers, 3);
}

}  // namespace
}  // namespace zvktest
