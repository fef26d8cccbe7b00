// What users do by accident: a read-only volume under every command, two
// programs on one volume, and interruption by signals.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "session.h"

namespace zvktest {
namespace {

class Reliability : public ZvkTest {
 protected:
  void expect_image(const Image& expected) {
    std::vector<std::string> d = diff_bytes(expected.bytes(), image_bytes());
    EXPECT_TRUE(d.empty()) << "image differs from the expected one:\n" << join_lines(d);
  }
};

Image demo_tree() {
  Image img = Image::formatted(1600, {10, 2, 80}, "DEMO");
  img.add_file(img.root(), 1, "SONG", 29, 3);
  Dir s = img.add_subdir(img.root(), 2, "SUB");
  img.add_file(s, 1, "INSTR", 3, 2);
  img.add_subdir(s, 2, "DEEPER");
  return img;
}

// Every command on a read-only volume: the refusals in the order the
// commands check, and not one byte written.
TEST_F(Reliability, ReadOnlyVolumeIsNeverWritten) {
  Image img = demo_tree();
  save(img);
  host_file("h.bin", pattern(700, 1));
  ASSERT_TRUE(set_mode(image_path, 0444));
  tmp.open_to_all();
  RunOptions opt;
  opt.unprivileged = true;
  const std::string ro = "error: device readonly.\n";
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"ls\n", ""},
      {"ls -t\n", ""},
      {"pwd\n", ""},
      {"label\n", ""},
      {"fatlist 1\n", ""},
      // Ten FAT blocks: after the three lookups of fatlist, the free count
      // evicts at lookups 1349 and 1519, both odd.
      {"df\n", kReadOnlyFlush + kReadOnlyFlush},
      {"df -c\n", ""},
      {"mkdir x\n", ro + "error: can't create directory.\n"},
      {"rm 1\n", ro},
      {"rm -e 1\ny\n",
       "warning: if there is no further link to that file\n"
       "         its blocks will be lost!\n"
       "If you really want to delete the directory entry type `y' >" +
           ro},
      {"rmdir 2\n", ro},
      {"chname x 1\n", ro},
      {"chtype 3 1\n", ro},
      {"ln 1\ny\n",
       "warning: the new directory entry points to the same file.\n"
       "         Be careful if you want to delete such a file.\n"
       "         (Remove the directory entry only for a link count>1!).\n"
       "If you really want to create a new entry type `y' >" +
           ro},
      {"mv 1 2\n", ro},
      {"cp 1 copy\n", ro + "error: can't create new file.\n"},
      {"put h.bin 3\n", ro + "error: can't create file.\n"},
      {"get 1 out.bin\n", ""},
      {"cd 2\n", ""},
      {"rm 1\n", ro},
      {"loados h.bin os\n", ro + "error: can't create file.\n"},
      {"pwd\n", ""},
      {"chlabel\ny\n\n\n\n\n\ny\n",
       "warning: a new label will be created.\n"
       "If you really want to create a new label type `y' >"
       "\nnr of sectors [10]:nr of hds [2]:nr of cylinders [80]:nr of bytes per block=512\n"
       "-> total nr of blocks [1600]:-> blocks free=1585 (you should call `newfs'!)\n"
       "disk label [DEMO   ]:"
       "\nwarning: a new label will be written.\n"
       "If you really want to write a new label type `y' >" +
           ro},
      {"chlabel other\n", ro},
      {"newfs\ny\n",
       "warning: a new filesystem will be written and all files will be lost.\n"
       "If you really want to create a new filesystem type `y' >" +
           ro + "error: can't write new FAT, filesystem maybe corrupted.\n"},
      {"sync\n", kReadOnlyFlush},
      {"exit\n", kReadOnlyFlush},
  };
  std::string script;
  std::vector<std::string> replies;
  for (const auto& [line, reply] : steps) {
    script += line;
    replies.push_back(reply);
  }
  RunResult r = zvk(script, opt);
  if (cannot_run_unprivileged(r)) GTEST_SKIP() << "can't run as an unprivileged user";
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript(replies, false, "open file `" + image_path + "' readonly.\n"));
  expect_image(img);
  Entry song = img.entry(img.root(), 1);
  EXPECT_EQ(read_file(host("out.bin")), img.chain_data(img.follow(song.first)));
}

// A second program on a volume in use falls back to reading only.
TEST_F(Reliability, SecondProgramOpensReadOnly) {
  Image img = demo_tree();
  save(img);
  std::unique_ptr<Child> first = start();
  ASSERT_TRUE(first->wait_for(kPrompt)) << first->err();

  RunResult second = zvk("mkdir x\nls\nexit\n");
  EXPECT_EXIT_CODE(second, 0);
  EXPECT_EQ(second.err,
            transcript({"error: device readonly.\nerror: can't create directory.\n", "",
                        kReadOnlyFlush},
                       false,
                       "warning: volume in use by another program.\nopen file `" + image_path +
                           "' readonly.\n"));
  EXPECT_EQ(second.out, ls_listing(img, img.root()));
  expect_image(img);

  first->send("mkdir y\nexit\n");
  RunResult r = first->finish();
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", ""}, false));
  EXPECT_EQ(load().entry(load().root(), 3).name, "Y           ");
  expect_consistent();

  // Once the first has ended, the volume can be written again.
  RunResult third = zvk("mkdir z\n");
  EXPECT_EQ(third.err, transcript({""}));
  expect_consistent();
}

// A signal while the program waits for input ends it after writing the FAT.
TEST_F(Reliability, SignalAtThePrompt) {
  host_file("h.bin", pattern(5000, 2));
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    save(demo_tree());
    std::unique_ptr<Child> c = start();
    c->send("mkdir new\ncd 3\nput h.bin 3\nmkdir inner\ncd\nrm 1\n");
    ASSERT_TRUE(c->wait_for(kPrompt, 7)) << c->err();
    c->signal(sig);
    RunResult r = c->finish();
    EXPECT_EXIT_CODE(r, 128 + sig);
    expect_consistent();
    Image after = load();
    Dir n = after.subdir(after.root(), 3);
    EXPECT_EQ(after.entry(after.root(), 3).size, 2);
    EXPECT_EQ(after.entry(n, 1).size, 10);
    EXPECT_EQ(after.entry(after.root(), 1).type, 0);
  }
}

// A signal that comes just before the program starts to wait for input
// ends the wait at once instead of after the next line. The program here
// starts with the three signals blocked, so it can take one only inside
// its wait; the input stays open until the signal has been sent.
TEST_F(Reliability, SignalJustBeforeTheWaitEndsIt) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    save(demo_tree());
    RunOptions opt;
    opt.blocked_signals = {SIGINT, SIGTERM, SIGHUP};
    std::unique_ptr<Child> c = start(opt);
    c->send("mkdir new\n");
    ASSERT_TRUE(c->wait_for(kPrompt, 2)) << c->err();
    c->signal(sig);
    RunResult r = c->finish();
    EXPECT_EXIT_CODE(r, 128 + sig);
    EXPECT_EQ(r.err, transcript({""}));
    EXPECT_EQ(load().entry(load().root(), 3).name, "NEW         ");
    expect_consistent();
  }
}

// Reads the count of bytes the process has read so far (0 when unknown).
unsigned long long bytes_read_by(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  unsigned long long value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

// A signal during a long put: the command finishes, the FAT is written, the
// program ends with 128 + the signal.
TEST_F(Reliability, SignalDuringALongPut) {
  const std::size_t size = 20000 * kBlockSize;
  std::vector<std::uint8_t> data = pattern(size, 5);
  host_file("big.bin", data);
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    save(Image::formatted(24000));
    std::unique_ptr<Child> c = start();
    ASSERT_TRUE(c->wait_for(kPrompt)) << c->err();
    c->send("put big.bin 3\n");
    pid_t pid = c->pid();
    c->wait_until([&] { return bytes_read_by(pid) >= size || c->err().find(kPrompt + kPrompt) != std::string::npos; });
    c->signal(sig);
    RunResult r = c->finish(60);
    EXPECT_EXIT_CODE(r, 128 + sig);
    expect_consistent();
    Image after = load();
    Entry e = after.entry(after.root(), 1);
    EXPECT_EQ(e.type, 3);
    EXPECT_EQ(e.size, 20000);
    EXPECT_TRUE(after.chain_data(after.follow(e.first)) == data) << "the put was cut short";
  }
}

}  // namespace
}  // namespace zvktest
