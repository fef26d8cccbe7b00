// Volume writes that fail (EIO) or come back short, through the fault
// layer: messages, what each write path takes back, and the retry of a
// short write.
#include <gtest/gtest.h>

#include "checker.h"
#include "replay.h"

namespace zvktest {
namespace {

class Faulty : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string image = tmp.file("vol.img");
  Image img = Image::formatted(1600, {10, 2, 80}, "fault");
  std::set<std::vector<std::uint8_t>> contents;

  void SetUp() override {
    contents.insert(img.add_file(img.root(), 1, "F1", 3, 2, 1).data);
    Dir sub = img.add_subdir(img.root(), 2, "SUB");
    contents.insert(img.add_file(sub, 1, "S1", 3, 1, 2).data);
    std::vector<std::uint8_t> a = pattern(1200, 9);
    write_file(tmp.file("a.bin"), a);
    a.resize(1536);
    contents.insert(a);
  }

  RunResult session(const std::string& script, const Faults& f = {}) {
    img.save(image);
    return run_faulty(image, script, f, tmp.path());
  }
  std::vector<LogRecord> logged(const std::string& script) {
    Faults f;
    f.log = tmp.file("w.log");
    std::remove(f.log.c_str());
    session(script, f);
    return read_log(f.log);
  }
  unsigned long writes(const std::string& script) {
    unsigned long n = 0;
    for (const LogRecord& r : logged(script)) n += !r.barrier;
    return n;
  }
};

const std::string kBanner =
    "\n*************************************\n*                                   *\n"
    "*  Zorvek File Manager              *\n*  Rev. 1.0                         *\n"
    "*                                   *\n*************************************\n\n"
    "try \"help\" for infos\n\n";
const std::string kMixed = "put a.bin 3\nmkdir D\ncd 2\nput a.bin B 3\nmv 2 0\ncd ..\nrm 1\nmv 3 2\nrmdir 4\nls\n";

// A short write is finished by the next call: same session, same volume.
TEST_F(Faulty, ShortWritesAreCompleted) {
  RunResult clean = session(kMixed);
  const std::vector<std::uint8_t> done = read_file(image);
  const unsigned long n = writes(kMixed);
  ASSERT_GT(n, 20u);
  for (unsigned long i = 1; i <= n; ++i) {
    Faults f;
    f.short_write = i;
    RunResult r = session(kMixed, f);
    EXPECT_EQ(r.err, clean.err) << "short write " << i;
    EXPECT_EQ(r.out, clean.out) << "short write " << i;
    EXPECT_TRUE(read_file(image) == done) << "short write " << i;
    if (HasFailure()) break;
  }
}

// Whichever write fails, once or for good (a card pulled out), the session
// goes on and the volume holds only what a crash could leave, each file
// with its own data. (A failed write of several blocks is redone block by
// block, so a single failure may pass unnoticed.)
TEST_F(Faulty, AnyFailedWriteLeavesOnlyResidue) {
  const unsigned long n = writes(kMixed);
  for (unsigned long count : {1ul, 1000000ul}) {
    for (unsigned long i = 1; i <= n; ++i) {
      Faults f;
      f.fail = i;
      f.fail_count = count;
      RunResult r = session(kMixed, f);
      EXPECT_TRUE(r.exited(0)) << describe(r);
      if (count > 1) {
        EXPECT_NE(r.err.find("error: can't write block.\n"), std::string::npos) << "write " << i;
      }
      Image after = Image::load(image);
      std::vector<std::string> p = check_volume(after, crash_residue());
      for (const std::string& d : check_file_data(after, contents)) p.push_back(d);
      EXPECT_TRUE(p.empty()) << "failed write " << i << " (" << count << "):\n" << join_lines(p) << r.err;
      if (HasFailure()) return;
    }
  }
}

// The messages of each write path, and what it takes back.
TEST_F(Faulty, EachWritePathReportsAndTakesBack) {
  const std::uint64_t free_block = img.free_blocks(1)[0];
  const std::uint64_t sub = img.entry(img.root(), 2).first;
  struct Case {
    const char* script;
    std::uint64_t block;  // the failing write is the first one to this block
    unsigned long count;  // failing writes: 2 for the run that is redone block by block
    const char* messages;
    bool unchanged;       // the volume is byte for byte as before
  } cases[] = {
      {"put a.bin 3\n", free_block, 2, "error: can't write block.\nerror: can't write file.\n", true},
      {"put a.bin 3\n", kFatFirstBlock + free_block / kFatEntriesPerBlock, 1,
       "error: can't write block.\nerror: can't write FAT.\nerror: can't create file.\n", false},
      {"put a.bin 3\n", kRootBlock, 2,
       "error: can't write block.\nerror: can't write directory.\nerror: can't create file.\n", false},
      {"mkdir D\n", free_block, 2, "error: can't write block.\nerror: can't write directory.\n", true},
      {"cd 2\nput a.bin 3\n", kRootBlock, 2,
       "error: can't write block.\nerror: can't write directory.\nerror: can't create file.\n", false},
      {"cd 2\nput a.bin 3\n", sub, 1,
       "error: can't write block.\nerror: can't write directory.\nerror: can't create file.\n", false},
      {"rm 1\n", kRootBlock, 2, "error: can't write block.\nerror: can't write directory.\n", true},
  };
  for (const Case& c : cases) {
    const unsigned long at = first_write_to(logged(c.script), c.block);
    ASSERT_GT(at, 0u) << c.script;
    Faults f;
    f.fail = at;
    f.fail_count = c.count;
    RunResult r = session(c.script, f);
    const std::string last = c.script[0] == 'c' ? "zvk > zvk > " : "zvk > ";
    EXPECT_EQ(r.err, kBanner + last + c.messages + "zvk > ") << c.script;
    if (c.unchanged) {
      EXPECT_TRUE(read_file(image) == img.bytes()) << c.script << join_lines(diff_bytes(img.bytes(), read_file(image)));
    }
    EXPECT_EQ(join_lines(check_volume(Image::load(image))), "") << c.script;
  }
}

// A dirty FAT block whose write-back fails when its cache slot is needed
// keeps its changes; the lookup that needed the slot fails, and so does
// the command, instead of losing links of the new chain.
TEST_F(Faulty, FailedEvictionKeepsTheSlotAndFailsTheCommand) {
  img = Image::formatted(8000, {20, 4, 100}, "evict");
  write_file(tmp.file("big.bin"), pattern(2000 * 512, 5));
  const std::string script = "put big.bin 3\n";
  std::vector<LogRecord> log = logged(script);
  // The first write is a FAT block written back while the chain is linked.
  ASSERT_FALSE(log.empty());
  ASSERT_FALSE(log[0].barrier);
  ASSERT_GE(log[0].offset / kBlockSize, kFatFirstBlock);
  ASSERT_LT(log[0].offset / kBlockSize, img.data_start());
  Faults f;
  f.fail = 1;
  RunResult r = session(script, f);
  EXPECT_EQ(r.err, kBanner + "zvk > error: can't write block.\nerror: can't write FAT.\n"
                             "error: can't find enough free blocks.\nerror: can't create file.\n"
                             "error: can't create file.\nzvk > ");
  Image after = Image::load(image);
  EXPECT_EQ(after.entry(after.root(), 1).type, 0);
  EXPECT_EQ(join_lines(check_volume(after)), "");
}

}  // namespace
}  // namespace zvktest
