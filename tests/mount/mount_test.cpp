// zvkmount end to end: a volume the test builds is mounted on a folder,
// host tools work on it, and after unmounting the image is checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "checker.h"
#include "image.h"
#include "runner.h"

namespace zvktest {
namespace {

bool is_mounted(const std::string& dir) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.find(" " + dir + " ") != std::string::npos) return true;
  return false;
}

class Mount : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string img = tmp.file("v.img");
  std::string mnt = tmp.file("mnt");
  std::string log = tmp.file("mount.log");
  std::unique_ptr<Child> daemon;

  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "/dev/fuse is missing: the mount tests cannot run";
      GTEST_SKIP() << "/dev/fuse is missing: mount tests skipped";
    }
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  }
  void TearDown() override {
    if (is_mounted(mnt)) sh("fusermount3 -uz " + mnt);
    if (daemon) daemon->finish(10);
  }

  // Start zvkmount in the foreground on the image; true once mounted.
  bool mount(const std::vector<std::string>& opts = {}) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>>" + log, "sh", ZVKMOUNT_PATH, "-f"};
    argv.insert(argv.end(), opts.begin(), opts.end());
    argv.push_back(img);
    argv.push_back(mnt);
    daemon = std::make_unique<Child>(argv);
    return daemon->wait_until([&] { return is_mounted(mnt); }, 10);
  }
  // Unmount and wait for the daemon: its exit status.
  int unmount() {
    RunResult u = sh("fusermount3 -u " + mnt);
    if (!u.exited(0)) sh("fusermount3 -uz " + mnt);
    RunResult r = daemon->finish(30);
    daemon.reset();
    return r.exit_code;
  }
  RunResult sh(const std::string& cmd) {
    RunOptions o;
    o.timeout_seconds = 120;
    o.cwd = tmp.path();
    return run({"/bin/sh", "-c", cmd}, "", o);
  }
  std::string daemon_log() { return std::string(reinterpret_cast<const char*>(read_file(log).data()), read_file(log).size()); }
  void expect_clean() {
    std::vector<std::string> p = check_volume_file(img);
    EXPECT_TRUE(p.empty()) << join_lines(p);
#ifdef ZVKFSCK_PATH
    RunResult fsck = run({ZVKFSCK_PATH, "-n", img}, "");
    EXPECT_TRUE(fsck.exited(0)) << describe(fsck);
#endif
  }
  // A host tree of files whose sizes are whole blocks (upper-case names, so
  // names come back unchanged).
  void host_tree(const std::string& root, int files) {
    // Ten folders, so that up to 280 files stay within 38 entries each.
    const char* dirs[] = {"", "/DRUMS", "/DRUMS/KICKS", "/PADS", "/BASS", "/KEYS", "/FX", "/VOX", "/LOOPS", "/PERC"};
    for (const char* d : dirs) sh("mkdir -p " + root + d);
    for (int i = 0; i < files; ++i) {
      std::string p = root + dirs[i % 10] + "/F" + std::to_string(i) + ".INS";
      write_file(p, pattern(static_cast<std::size_t>(512 * (1 + i % 7)), static_cast<std::uint32_t>(i + 1)));
    }
  }
};

#define ASSERT_OK(r) ASSERT_TRUE((r).exited(0)) << describe(r)
#define EXPECT_OK(r) EXPECT_TRUE((r).exited(0)) << describe(r)

TEST_F(Mount, CopyTreeInAndOutAndRsyncRoundTrip) {
  Image::formatted(4000).save(img);
  host_tree(tmp.file("in"), 24);
  ASSERT_TRUE(mount());
  ASSERT_OK(sh("cp -r in/. mnt/ && cp -r mnt out && diff -r in out"));
  ASSERT_OK(sh("mkdir mnt/BACKUP && rsync -a --inplace in/ mnt/BACKUP/ && rsync -a mnt/BACKUP/ back/ && diff -r in back"));
  // Lower-case names are stored upper-cased and found either way.
  ASSERT_OK(sh("printf 'x' > mnt/kick.ins && ls mnt | grep -qx KICK.INS && test -s mnt/kick.ins"));
  // A write past the end and a truncate that extends leave zeros between.
  ASSERT_OK(sh("printf abc | dd of=mnt/SPARSE bs=1 seek=3000 status=none && "
               "head -c 3000 mnt/SPARSE | cmp -s - /dev/zero -n 3000 && truncate -s 4000 mnt/SPARSE && "
               "tail -c +3004 mnt/SPARSE | head -c 996 | cmp -s - /dev/zero -n 996"));
  RunResult df = sh("stat -f -c '%S %b %l' mnt");
  EXPECT_EQ(df.out, "512 4000 12\n");
  EXPECT_EQ(unmount(), 0);
  expect_clean();
}

TEST_F(Mount, RenameLinkAndReplace) {
  Image im = Image::formatted(2000);
  im.add_file(im.root(), 1, "A.INS", 3, 4, 1);
  im.add_file(im.root(), 2, "B.INS", 3, 2, 2);
  im.add_subdir(im.root(), 3, "DIR");
  im.save(img);
  ASSERT_TRUE(mount());
  ASSERT_OK(sh("cp mnt/A.INS a.copy && mv mnt/A.INS mnt/DIR/MOVED && cmp a.copy mnt/DIR/MOVED && ! test -e mnt/A.INS"));
  ASSERT_OK(sh("ln mnt/DIR/MOVED mnt/LINK && test $(stat -c %h mnt/LINK) = 2 && test $(stat -c %i mnt/LINK) = $(stat -c %i mnt/DIR/MOVED)"));
  // Writing through one name changes what every name shows.
  ASSERT_OK(sh("head -c 1024 /dev/urandom > new && cp new mnt/LINK && cmp new mnt/DIR/MOVED"));
  // Removing one link keeps the data of the other.
  ASSERT_OK(sh("rm mnt/LINK && cmp new mnt/DIR/MOVED && test $(stat -c %h mnt/DIR/MOVED) = 1"));
  // An existing target is replaced; a directory moves with its contents.
  ASSERT_OK(sh("cp mnt/B.INS b.copy && mv mnt/B.INS mnt/DIR/MOVED && cmp b.copy mnt/DIR/MOVED"));
  ASSERT_OK(sh("mkdir mnt/TOP && mv mnt/DIR mnt/TOP/ && cmp b.copy mnt/TOP/DIR/MOVED && mv mnt/TOP/DIR mnt/TOP/D2"));
  EXPECT_FALSE(sh("mv mnt/TOP mnt/TOP/D2/").exited(0));
  EXPECT_FALSE(sh("rmdir mnt/TOP").exited(0));
  ASSERT_OK(sh("rm mnt/TOP/D2/MOVED && rmdir mnt/TOP/D2 && rmdir mnt/TOP && test -z \"$(ls mnt)\""));
  EXPECT_EQ(unmount(), 0);
  expect_clean();
  EXPECT_EQ(Image::load(img).free_counter(), Image::formatted(2000).free_counter());
}

TEST_F(Mount, TypeAttributeAndNewType) {
  Image::formatted(1600).save(img);
  ASSERT_TRUE(mount({"-o", "type=29"}));
  ASSERT_OK(sh("echo x > mnt/SONG && getfattr -n user.zvk.type --only-values mnt/SONG | grep -qx 29"));
  ASSERT_OK(sh("echo x > mnt/KIT && setfattr -n user.zvk.type -v 3 mnt/KIT"));
  EXPECT_FALSE(sh("setfattr -n user.zvk.type -v 2 mnt/KIT").exited(0));
  EXPECT_FALSE(sh("setfattr -n user.zvk.type -v 256 mnt/KIT").exited(0));
  // While mounted read-write, zvkfm falls back to read-only.
  RunResult held = run({ZVKFM_PATH, img}, "exit\n");
  EXPECT_NE(held.err.find("readonly."), std::string::npos) << describe(held);
  EXPECT_EQ(unmount(), 0);
  RunResult ls = run({ZVKFM_PATH, img}, "ls\nexit\n");
  EXPECT_NE(ls.out.find("  1 |    song  zvk  29 | SONG"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("  2 |    instr tlm   3 | KIT"), std::string::npos) << ls.out;
  expect_clean();
}

TEST_F(Mount, NamesLimitsAndFullVolume) {
  Image im = Image::formatted(600);
  FileInfo odd = im.add_file(im.root(), 1, "A/B%", 3, 1, 5);
  im.add_file(im.root(), 2, "", 3, 1, 6);
  im.save(img);
  ASSERT_TRUE(mount());
  // Escaped names are reachable, round-trip and take new names.
  ASSERT_OK(sh("ls mnt | grep -qx 'A%2FB%25' && ls mnt | grep -qx '%20' && cat 'mnt/A%2FB%25' > odd"));
  EXPECT_EQ(read_file(tmp.file("odd")), odd.data);
  EXPECT_EQ(sh("touch mnt/THIRTEENCHARS").err.find("File name too long") != std::string::npos, true);
  // 38 entries fill a directory.
  ASSERT_OK(sh("mkdir mnt/D && for i in $(seq 1 38); do echo > mnt/D/F$i || exit 1; done"));
  RunResult full = sh("echo > mnt/D/F39");
  EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << describe(full);
  // Writing until the volume is full stops with ENOSPC and keeps what fitted.
  RunResult dd = sh("dd if=/dev/zero of=mnt/BIG bs=512 count=2000");
  EXPECT_NE(dd.err.find("No space left on device"), std::string::npos) << describe(dd);
  ASSERT_OK(sh("test $(stat -f -c %f mnt) -lt 2 && test -s mnt/BIG && rm mnt/BIG && test $(stat -f -c %f mnt) -gt 400"));
  RunResult big = sh("dd if=/dev/zero of=mnt/HUGE bs=512 seek=65535 count=1");
  EXPECT_NE(big.err.find("File too large"), std::string::npos) << describe(big);
  EXPECT_EQ(unmount(), 0);
  expect_clean();
}

// Files written from their start in order go to the volume as they come;
// anything out of order brings them back into memory first.
TEST_F(Mount, LargeFilesStreamAndFallBack) {
  Image::formatted(30000).save(img);
  write_file(tmp.file("src"), pattern(3 * 1024 * 1024 + 1536, 7));  // whole blocks, as the volume keeps them
  ASSERT_TRUE(mount());
  const std::string free_before = sh("stat -f -c %f mnt").out;
  ASSERT_OK(sh("cp src mnt/BIG && cmp src mnt/BIG"));
  // Read while one process writes it, rewritten at its start by another,
  // then written on in order: the file holds what a host file would.
  ASSERT_OK(sh("{ head -c 2500000 src; sleep 2; tail -c +2500001 src; } | cat > mnt/W & "
               "until [ $(stat -c %s mnt/W) -ge 2500000 ]; do sleep 0.05; done && cmp -n 2500000 src mnt/W && "
               "printf HEAD | dd of=mnt/W conv=notrunc status=none && wait $! && "
               "{ printf HEAD; tail -c +5 src; } | cmp - mnt/W"));
  // A file removed while it is being written gives its blocks back.
  ASSERT_OK(sh("{ cat src; sleep 1; } | cat > mnt/GONE & "
               "until [ $(stat -c %s mnt/GONE) -ge 3000000 ]; do sleep 0.05; done && rm mnt/GONE && wait $! && "
               "rm mnt/BIG mnt/W"));
  EXPECT_EQ(sh("stat -f -c %f mnt").out, free_before);
  // A file being read stays readable to its end after its name is removed
  // or replaced.
  ASSERT_OK(sh("cp src mnt/R1 && cp src mnt/R2 && echo > mnt/X"));
  std::vector<int> fds{::open((mnt + "/R1").c_str(), O_RDONLY), ::open((mnt + "/R2").c_str(), O_RDONLY)};
  std::vector<std::uint8_t> got[2];
  auto read_some = [&](int i, std::size_t most) {
    std::uint8_t buf[65536];
    ssize_t k;
    while (most > 0 && (k = ::read(fds[i], buf, std::min(most, sizeof buf))) > 0) {
      got[i].insert(got[i].end(), buf, buf + k);
      most -= static_cast<std::size_t>(k);
    }
  };
  for (int i : {0, 1}) read_some(i, 1000);
  ASSERT_OK(sh("rm mnt/R1 && mv mnt/X mnt/R2"));
  for (int i : {0, 1}) {
    read_some(i, ~std::size_t{0});
    ::close(fds[i]);
    EXPECT_TRUE(got[i] == read_file(tmp.file("src"))) << i;
  }
  ASSERT_OK(sh("rm mnt/R2"));
  // Past the free blocks the write stops with ENOSPC and keeps what fitted.
  RunResult dd = sh("dd if=/dev/zero of=mnt/FULL bs=64k count=300");
  EXPECT_NE(dd.err.find("No space left on device"), std::string::npos) << describe(dd);
  ASSERT_OK(sh("test $(stat -c %s mnt/FULL) -gt 15000000 && cmp -n 15000000 mnt/FULL /dev/zero"));
  EXPECT_EQ(unmount(), 0);
  expect_clean();
}

TEST_F(Mount, ReadOnlyMountsNeverWrite) {
  Image im = Image::formatted(1600);
  im.add_file(im.root(), 1, "A", 3, 3, 1);
  Dir d = im.add_subdir(im.root(), 2, "SUB");
  im.add_file(d, 1, "B", 3, 2, 2);
  im.save(img);
  const std::vector<std::uint8_t> before = read_file(img);
  ASSERT_TRUE(mount({"-o", "ro"}));
  ASSERT_OK(sh("cat mnt/A mnt/SUB/B >/dev/null && ls -lR mnt >/dev/null"));
  RunResult w = sh("echo x > mnt/C");
  EXPECT_NE(w.err.find("Read-only file system"), std::string::npos) << describe(w);
  EXPECT_EQ(unmount(), 0);
  EXPECT_EQ(read_file(img), before);

  // A volume that a zvkfm session holds is mounted read-only, with a warning.
  Child fm({ZVKFM_PATH, img});
  ASSERT_TRUE(fm.wait_for("zvk > "));
  ASSERT_TRUE(mount());
  EXPECT_FALSE(sh("rm mnt/A").exited(0));
  EXPECT_EQ(unmount(), 0);
  fm.send("exit\n");
  fm.finish();
  EXPECT_NE(daemon_log().find("warning: mounting"), std::string::npos) << daemon_log();
  EXPECT_EQ(read_file(img), before);
}

TEST_F(Mount, DamagedVolumeGivesDataOrEio) {
  Image im = Image::formatted(800);
  im.add_file(im.root(), 1, "GOOD", 3, 3, 1);
  FileInfo f = im.add_file(im.root(), 2, "FREEHOLE", 3, 3, 2);
  im.set_fat(f.chain[1], 0);
  im.set_entry_field(im.root(), 2, 16, 2, 1);
  FileInfo g = im.add_file(im.root(), 3, "LOOP", 3, 3, 3);
  im.set_fat(g.chain[2], g.chain[0]);
  im.set_entry_field(im.root(), 3, 14, 2, 60000);
  im.set_entry_field(im.root(), 3, 16, 2, 1);
  im.add_file_on(im.root(), 4, "OUTSIDE", 3, {700000}, 1, 1, false);
  Dir d = im.add_subdir(im.root(), 5, "BADDIR");
  im.set_entry_field(im.root(), 5, 18, 4, 0);
  (void)d;
  im.save(img);
  ASSERT_TRUE(mount());
  RunResult r = sh("for f in mnt/* mnt/*/*; do cat \"$f\" >/dev/null 2>>errs; echo \"$f $?\"; done; ls -lR mnt >/dev/null 2>&1; true");
  EXPECT_OK(r);
  EXPECT_NE(r.out.find("mnt/GOOD 0"), std::string::npos) << r.out;
  const std::string errs(reinterpret_cast<const char*>(read_file(tmp.file("errs")).data()), read_file(tmp.file("errs")).size());
  EXPECT_EQ(errs.find("No such device"), std::string::npos) << errs;
  std::istringstream lines(r.out);
  for (std::string file, status; lines >> file >> status;) {
    if (status != "0" && file != "mnt/BADDIR" && file.find('*') == std::string::npos) {
      EXPECT_NE(errs.find(file + ": Input/output error"), std::string::npos) << file << "\n" << errs;
    }
  }
  EXPECT_NE(daemon_log().find("zvkmount: read /OUTSIDE: Input/output error"), std::string::npos) << daemon_log();
  EXPECT_TRUE(is_mounted(mnt));
  EXPECT_EQ(unmount(), 0);
}

// Only what a crash may leave: blocks in use by no entry, a free-block
// counter that is off, a directory count that is too high.
bool crash_residue(const std::string& line) {
  if (line.find("free-block counter is") == 0) return true;
  if (line.find("in use but belong") != std::string::npos) return true;
  unsigned count = 0, held = 0;
  auto at = line.find(": count is ");
  return at != std::string::npos && std::sscanf(line.c_str() + at, ": count is %u but the directory holds %u", &count, &held) == 2 &&
         count > held;
}

TEST_F(Mount, KillDuringCopyLeavesOnlyCrashResidue) {
  host_tree(tmp.file("in"), 280);
  write_file(tmp.file("big"), pattern(6 * 1024 * 1024, 3));
  RunOptions in_tmp;
  in_tmp.cwd = tmp.path();
  auto kill_and_check = [&](Child& copy) {
    daemon->signal(SIGKILL);
    daemon->finish(10);
    daemon.reset();
    sh("fusermount3 -uz " + mnt);
    EXPECT_EQ(copy.finish(60).out.find("status=0"), std::string::npos) << "the copy ended before the kill";
    for (const std::string& p : check_volume_file(img)) EXPECT_TRUE(crash_residue(p)) << p;
  };
  // Killed after a few files, in the middle, and near the end of the copy.
  for (int files : {3, 30, 90}) {
    SCOPED_TRACE(files);
    Image::formatted(20000).save(img);
    ASSERT_TRUE(mount());
    Child cp({"/bin/sh", "-c", "cp -r in/. mnt/ 2>/dev/null; echo status=$?"}, in_tmp);
    ASSERT_TRUE(daemon->wait_until(
        [&] { return std::atoi(sh("find mnt -type f | wc -l").out.c_str()) >= files; }, 30));
    kill_and_check(cp);
  }
  // Killed halfway through a large file, part of which is on the volume.
  Image::formatted(20000).save(img);
  ASSERT_TRUE(mount());
  Child big({"/bin/sh", "-c", "{ head -c 4000000 big; sleep 3; tail -c +4000001 big; } > mnt/BIG; echo status=$?"},
            in_tmp);
  ASSERT_TRUE(daemon->wait_until([&] { return std::atoi(sh("stat -f -c %f mnt").out.c_str()) < 16000; }, 30));
  kill_and_check(big);
}

}  // namespace
}  // namespace zvktest
