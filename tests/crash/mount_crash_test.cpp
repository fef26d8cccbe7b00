// zvkmount's operations, run in this process on the fault build as host
// tools would drive them through the mount (cp into folders, mkdir, mv of
// files and folders across folders, ln, rm, rm -r, an overwrite, an append,
// a truncate), stopped right before each of their writes and replayed as
// power cuts: every state holds only what a crash may leave, and every
// file holds data written for it. Each run is a child process, so that the
// fault plan (read once per process) and a kill apply to it alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "checker.h"
#include "console.h"
#include "driver.h"
#include "replay.h"

namespace zvktest {
namespace {

// Runs body in a child process under the fault plan; its exit status, or
// the negated signal that ended it.
int in_child(const Faults& f, const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    auto set = [](const char* name, unsigned long v, unsigned long count = 0) {
      if (v == 0) return;
      std::string s = std::to_string(v);
      if (count) s += ":" + std::to_string(count);
      setenv(name, s.c_str(), 1);
    };
    set("ZVK_FAULT_KILL", f.kill);
    set("ZVK_FAULT_FAIL", f.fail, f.fail_count);
    if (!f.log.empty()) setenv("ZVK_FAULT_LOG", f.log.c_str(), 1);
    console.err = std::fopen("/dev/null", "w");
    _exit(body());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1000;
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// One step of a scripted session: what it does, for the failure message.
struct Step {
  const char* what;
  std::function<int(Mount&)> run;
};

// Mount image, run the steps and unmount: 0, the number of the step that
// failed (from 1), or 90 when the volume did not mount.
int run_steps(const std::string& image, const std::vector<Step>& steps) {
  auto m = std::make_unique<Mount>();
  if (mount_open(*m, image.c_str(), false) != 0) return 90;
  for (std::size_t i = 0; i < steps.size(); ++i)
    if (steps[i].run(*m) != 0) return static_cast<int>(i + 1);
  return mount_flush_all(*m) == 0 ? 0 : 91;
}

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> data) {
  data.resize(std::max<std::size_t>(1, (data.size() + kBlockSize - 1) / kBlockSize) * kBlockSize);
  return data;
}

// Root: files F1-F17, SUB in 18 holding files S1-S18, so that the first new
// entry of either is entry 19, the one that straddles a folder's blocks.
class MountCrash : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string image = tmp.file("vol.img");
  Image base = Image::formatted(1600, {10, 2, 80}, "mcrash");
  std::set<std::vector<std::uint8_t>> contents;
  std::vector<Step> steps;

  void SetUp() override {
    for (int i = 1; i <= 17; ++i) contents.insert(base.add_file(base.root(), i, "F" + std::to_string(i), 3, 3, i).data);
    Dir sub = base.add_subdir(base.root(), 18, "SUB");
    for (int i = 1; i <= 18; ++i) contents.insert(base.add_file(sub, i, "S" + std::to_string(i), 3, 1, 100 + i).data);
    // A file is created holding one zero block, before its data comes.
    contents.insert(padded({}));
    session();
  }

  // Data written by the session, noted as a possible content of a file.
  std::vector<std::uint8_t> data(std::size_t bytes, std::uint32_t seed) {
    std::vector<std::uint8_t> d = pattern(bytes, seed);
    contents.insert(padded(d));
    return d;
  }

  void add(const char* what, std::function<int(Mount&)> run) { steps.push_back({what, std::move(run)}); }

  void session() {
    const auto a = data(1300, 1), b = data(700, 2), c = data(100, 3), x = data(2600, 4), big = data(300000, 5);
    const auto b2 = data(1900, 6), al = data(900, 7), tail = pattern(333, 8), t = data(200, 9);
    std::vector<std::uint8_t> appended = padded(b2);
    appended.insert(appended.end(), tail.begin(), tail.end());
    contents.insert(padded(appended));
    std::vector<std::uint8_t> f3 = base.chain_data(base.follow(base.entry(base.root(), 3).first));
    f3.resize(700);
    contents.insert(padded(f3));
    add("mkdir /D1", [](Mount& m) { return op_mkdir(m, "/D1"); });
    add("cp a /D1/A", [a](Mount& m) { return tool_put(m, "/D1/A", a); });
    add("cp b /SUB/B", [b](Mount& m) { return tool_put(m, "/SUB/B", b); });
    add("cp b2 over /SUB/B", [b2](Mount& m) { return tool_overwrite(m, "/SUB/B", b2); });
    add("mkdir /SUB/D2", [](Mount& m) { return op_mkdir(m, "/SUB/D2"); });
    add("cp c /SUB/D2/C", [c](Mount& m) { return tool_put(m, "/SUB/D2/C", c); });
    add("mkdir /D1/M", [](Mount& m) { return op_mkdir(m, "/D1/M"); });
    add("cp x /D1/M/X", [x](Mount& m) { return tool_put(m, "/D1/M/X", x); });
    add("cp big /D1/M/BIG", [big](Mount& m) { return tool_put(m, "/D1/M/BIG", big); });
    add("mv /D1/M /SUB/D2/M", [](Mount& m) { return op_rename(m, "/D1/M", "/SUB/D2/M", 0); });
    add("mv /D1/A /SUB/A2", [](Mount& m) { return op_rename(m, "/D1/A", "/SUB/A2", 0); });
    add("ln /SUB/A2 /D1/AL", [](Mount& m) { return op_link(m, "/SUB/A2", "/D1/AL"); });
    add("mv /SUB/B /D1/B", [](Mount& m) { return op_rename(m, "/SUB/B", "/D1/B", 0); });
    add("cp al over /D1/AL", [al](Mount& m) { return tool_overwrite(m, "/D1/AL", al); });
    add(">> /D1/B", [tail](Mount& m) { return tool_append(m, "/D1/B", tail); });
    add("truncate -s 700 /F3", [](Mount& m) { return op_truncate(m, "/F3", 700, nullptr); });
    add("mv /SUB/D2 /D1/D2", [](Mount& m) { return op_rename(m, "/SUB/D2", "/D1/D2", 0); });
    add("cp t /SUB/T", [t](Mount& m) { return tool_put(m, "/SUB/T", t); });
    add("mv /D1/B over /SUB/T", [](Mount& m) { return op_rename(m, "/D1/B", "/SUB/T", 0); });
    add("mv /D1/D2/C /D1/D2/M/C", [](Mount& m) { return op_rename(m, "/D1/D2/C", "/D1/D2/M/C", 0); });
    add("rm /SUB/A2", [](Mount& m) { return op_unlink(m, "/SUB/A2"); });
    add("mv /F1 over /SUB/S1", [](Mount& m) { return op_rename(m, "/F1", "/SUB/S1", 0); });
    add("mkdir /SUB/E", [](Mount& m) { return op_mkdir(m, "/SUB/E"); });
    add("mkdir /E2", [](Mount& m) { return op_mkdir(m, "/E2"); });
    add("mv /E2 over /SUB/E", [](Mount& m) { return op_rename(m, "/E2", "/SUB/E", 0); });
    add("mv /D1/D2/M /M", [](Mount& m) { return op_rename(m, "/D1/D2/M", "/M", 0); });
    add("rm -r /D1/D2", [](Mount& m) { return tool_rm_r(m, "/D1/D2"); });
    add("rm /F2", [](Mount& m) { return op_unlink(m, "/F2"); });
    add("mkdir /D1/P", [](Mount& m) { return op_mkdir(m, "/D1/P"); });
    add("mv /M /D1/P/M", [](Mount& m) { return op_rename(m, "/M", "/D1/P/M", 0); });
    add("mv /D1/P/M /D1/M", [](Mount& m) { return op_rename(m, "/D1/P/M", "/D1/M", 0); });
    add("mv /D1/M /D1/P/N", [](Mount& m) { return op_rename(m, "/D1/M", "/D1/P/N", 0); });
    add("rm -r /D1", [](Mount& m) { return tool_rm_r(m, "/D1"); });
  }

  int run(const Faults& f) {
    base.save(image);
    return in_child(f, [this] { return run_steps(image, steps); });
  }

  // The session run to its end, with its write log.
  std::vector<LogRecord> clean_log() {
    Faults f;
    f.log = tmp.file("session.log");
    std::remove(f.log.c_str());
    const int r = run(f);
    EXPECT_EQ(r, 0) << (r > 0 && r <= static_cast<int>(steps.size()) ? steps[r - 1].what : "mount or unmount");
    return read_log(f.log);
  }

  // The problems of a state beyond crash residue.
  std::vector<std::string> danger(const Image& img) {
    std::vector<std::string> p = check_volume(img, crash_residue());
    for (const std::string& d : check_file_data(img, contents)) p.push_back(d);
    return p;
  }
};

std::size_t writes_in(const std::vector<LogRecord>& log) {
  std::size_t n = 0;
  for (const LogRecord& r : log) n += !r.barrier;
  return n;
}

// Counts the dangerous states among those tried, with the first ones shown.
struct Tally {
  int tried = 0, dangerous = 0;
  std::string shown;
  void note(const std::string& state, const std::vector<std::string>& problems) {
    ++tried;
    if (problems.empty()) return;
    if (++dangerous <= 3) shown += state + ":\n" + join_lines(problems);
  }
};

TEST_F(MountCrash, CleanSessionEndsConsistent) {
  std::vector<LogRecord> log = clean_log();
  Image done = Image::load(image);
  EXPECT_EQ(join_lines(check_volume(done)), "");
  EXPECT_EQ(join_lines(check_file_data(done, contents)), "");
  EXPECT_TRUE(replay_all(base.bytes(), log) == done.bytes());
  // What the session left: F3 cut to 700 bytes, SUB/S1 holding F1's data,
  // F2 gone.
  EXPECT_EQ(done.entry(done.root(), 3).size, 2);
  EXPECT_EQ(done.entry(done.subdir(done.root(), 18), 1).first, base.entry(base.root(), 1).first);
  EXPECT_EQ(done.entry(done.root(), 2).type, 0);
}

TEST_F(MountCrash, KilledBeforeEveryWrite) {
  const std::size_t writes = writes_in(clean_log());
  ASSERT_GT(writes, 100u);
  Tally t;
  for (unsigned long n = 1; n <= writes; ++n) {
    Faults f;
    f.kill = n;
    ASSERT_EQ(run(f), -SIGKILL) << "write " << n;
    t.note("killed before write " + std::to_string(n), danger(Image::load(image)));
  }
  EXPECT_EQ(t.dangerous, 0) << t.dangerous << " of " << t.tried << " states dangerous\n" << t.shown;
}

TEST_F(MountCrash, PowerCutStates) {
  std::vector<LogRecord> log = clean_log();
  const char* env = std::getenv("ZVK_CRASH_STATES");
  const int states = env ? std::atoi(env) : 400;
  std::mt19937 rng(20);
  Tally t;
  for (int i = 0; i < states; ++i)
    t.note("power-cut state " + std::to_string(i), danger(Image(power_cut(base.bytes(), log, rng))));
  EXPECT_EQ(t.dangerous, 0) << t.dangerous << " of " << t.tried << " states dangerous\n" << t.shown;
}

// Writes that fail at the worst moment: the volume is left as it was, and
// the operation says so.
class MountFaults : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string image = tmp.file("vol.img");
  Image base = Image::formatted(1600, {10, 2, 80}, "mfault");

  // The writes of the steps run cleanly.
  std::vector<LogRecord> logged(const std::vector<Step>& steps) {
    Faults f;
    f.log = tmp.file("w.log");
    std::remove(f.log.c_str());
    base.save(image);
    EXPECT_EQ(in_child(f, [&] { return run_steps(image, steps); }), 0);
    return read_log(f.log);
  }
  // The steps run again with count writes failing from the first one that
  // touches block: their exit status.
  int failing(const std::vector<Step>& steps, std::uint64_t block, unsigned long count) {
    Faults f;
    f.fail = first_write_to(logged(steps), block);
    f.fail_count = count;
    EXPECT_GT(f.fail, 0u);
    base.save(image);
    return in_child(f, [&] { return run_steps(image, steps); });
  }
};

// A folder moved across folders whose parent link cannot be rewritten goes
// back: the new entry is taken out again, the old one stays.
TEST_F(MountFaults, FailedRelinkTakesTheNewEntryBack) {
  Dir a = base.add_subdir(base.root(), 1, "A");
  base.add_subdir(base.root(), 2, "B");
  Dir moved = base.add_subdir(a, 1, "M");
  base.add_file(moved, 1, "X", 3, 2, 1);
  const std::vector<Step> steps{{"mv /A/M /B/M", [](Mount& m) { return op_rename(m, "/A/M", "/B/M", 0); }}};
  EXPECT_EQ(failing(steps, moved.b0, 1), 1) << "the move must fail";
  Image after = Image::load(image);
  EXPECT_EQ(join_lines(check_volume(after)), "");
  EXPECT_EQ(after.entry(after.subdir(after.root(), 1), 1).type, kTypeSubdir);
  EXPECT_EQ(after.entry(after.subdir(after.root(), 2), 1).type, 0);
}

// A new file in a subfolder whose count cannot be raised is not made: an
// entry beyond the count would be a count too low.
TEST_F(MountFaults, FailedCountStoreFailsTheCreate) {
  Dir sub = base.add_subdir(base.root(), 1, "SUB");
  base.add_file(sub, 1, "S1", 3, 1, 1);
  const std::vector<Step> steps{{"cp /SUB/N", [](Mount& m) { return tool_put(m, "/SUB/N", pattern(700, 2)); }}};
  // The root's first block goes as a run, then alone again: both fail.
  EXPECT_EQ(failing(steps, kRootBlock, 2), 1) << "the copy must fail";
  Image after = Image::load(image);
  EXPECT_EQ(join_lines(check_volume(after)), "");
  EXPECT_EQ(after.entry(after.subdir(after.root(), 1), 2).type, 0);
}

}  // namespace
}  // namespace zvktest
