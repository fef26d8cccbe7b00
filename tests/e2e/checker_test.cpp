// The oracle itself: the volume checker must pass what the builder makes and
// find every kind of damage, or the consistency checks of the other tests
// would prove nothing. The runner must stop a program that hangs.
#include <gtest/gtest-spi.h>

#include <functional>

#include "session.h"

namespace zvktest {
namespace {

Image tree() {
  Image img = Image::formatted(400, {10, 2, 20}, "CHECK");
  img.add_file(img.root(), 0, "OPSYS", 32, 2);  // 8, 9
  img.add_file(img.root(), 1, "SONG", 29, 4);   // 10-13
  Dir s = img.add_subdir(img.root(), 2, "SUB");  // 14, 15
  img.add_file(s, 1, "INSTR", 3, 2);            // 16, 17
  img.add_subdir(s, 2, "DEEPER");               // 18, 19
  img.add_file_on(img.root(), 3, "SPLIT", 3, {30, 31, 40, 35});
  return img;
}

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
  for (const std::string& p : problems) {
    if (p.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(Checker, PassesWhatTheBuilderMakes) {
  EXPECT_EQ(check_volume(tree()), std::vector<std::string>{});
  EXPECT_EQ(check_volume(Image::formatted(12800, {32, 4, 100}, "X")), std::vector<std::string>{});
  Image linked = tree();
  linked.set_entry(linked.root(), 5, linked.entry(linked.root(), 1));  // ln of a file
  linked.set_entry(linked.root(), 4, linked.entry(linked.root(), 2));  // ln of a directory
  EXPECT_EQ(check_volume(linked), std::vector<std::string>{});
  CheckOptions strict;
  strict.links_allowed = false;
  EXPECT_TRUE(mentions(check_volume(linked, strict), "/5: shares its chain with /1"));
  EXPECT_TRUE(mentions(check_volume(linked, strict), "/4: links a directory"));
}

TEST(Checker, FindsEveryKindOfDamage) {
  const Dir root;
  const std::vector<std::pair<std::function<void(Image&)>, std::string>> cases = {
      {[](Image& v) { v.set_fat(13, 10); }, "/1: chain loops back to block 10"},
      {[](Image& v) { v.set_fat(11, 0); }, "/1: block 11 is in the chain but free in the FAT"},
      {[](Image& v) { v.set_fat(11, 2); }, "/1: block 11 is in the chain but marked bad"},
      {[](Image& v) { v.set_fat(11, 99999); }, "/1: chain leaves the data area after block 11"},
      {[](Image& v) { v.set_fat(11, 5); }, "/1: chain leaves the data area after block 11"},
      {[](Image& v) { v.set_fat(35, 12); }, "/3: block 12 is also in the chain of /1"},
      {[](Image& v) { v.set_entry_field(Dir{}, 1, 14, 2, 3); }, "/1: size field 3 but the chain has 4"},
      {[](Image& v) { v.set_entry_field(Dir{}, 3, 16, 2, 3); },
       "/3: contiguous count 3 but the chain starts with 2 adjacent blocks"},
      {[](Image& v) { v.set_entry_field(Dir{}, 2, 14, 2, 5); },
       "/2: count is 5 but the directory holds 2 entries"},
      {[](Image& v) { v.set_entry_field(v.subdir(Dir{}, 2), 0, 16, 2, 45); },
       "/2: parent link names entry 45, not 2"},
      {[](Image& v) { v.set_entry_field(v.subdir(Dir{}, 2), 0, 18, 4, 8); },
       "/2: parent link names block 8, not 3"},
      {[](Image& v) { v.set_free_counter(v.free_counter() + 1); }, "free-block counter is"},
      {[](Image& v) { v.put_text(6 * kBlockSize + 510, "XX"); }, "FAT block 6 lacks the \"FB\" signature"},
      {[](Image& v) { v.put_text(19 * kBlockSize + 510, "XX"); }, "directory /2/2/ lacks the \"DR\""},
      {[](Image& v) { v.set_fat(100, 1).set_free_counter(v.free_counter() - 1); },
       "block 100 is in use but belongs to no entry"},
      {[](Image& v) { v.truncate_bytes(200 * kBlockSize); }, "image holds 200 blocks"},
      {[](Image& v) { v.set_entry_field(Dir{}, 1, 18, 4, 0); }, "/1: first block is 0"},
      {[](Image& v) { v.set_fat(14, 20).set_fat(20, 1); }, "/2: directory blocks 14 and 20 are not adjacent"},
      {[](Image& v) {
         Dir s = v.subdir(Dir{}, 2);
         v.set_entry(s, 3, Entry{.type = 2, .name = "UP", .cont = 2, .first = 14});
         v.bump_count(s);
       },
       "/2/3: directory at block 14 is reached twice"},
      {[](Image& v) { v.set_entry(Dir{}, 6, Entry{.type = 8, .name = "LINK", .first = 3}); },
       "/6: parent link out of place"},
  };
  for (const auto& [damage, expected] : cases) {
    SCOPED_TRACE(expected);
    Image v = tree();
    damage(v);
    std::vector<std::string> problems = check_volume(v);
    EXPECT_TRUE(mentions(problems, expected)) << join_lines(problems);
  }
  (void)root;
}

TEST(Runner, KillsAProgramThatHangs) {
  RunResult r;
  EXPECT_NONFATAL_FAILURE(
      {
        RunOptions opt;
        opt.timeout_seconds = 1;
        r = run({"/bin/sleep", "30"}, "", opt);
      },
      "did not end within 1 s");
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.term_signal, SIGKILL);
}

TEST(Runner, SeparatesAndMergesStreams) {
  const std::string script = "echo out; echo err >&2; echo out2";
  RunResult r = run({"/bin/sh", "-c", script}, "");
  EXPECT_EQ(r.out, "out\nout2\n");
  EXPECT_EQ(r.err, "err\n");
  RunOptions merged;
  merged.merge_output = true;
  r = run({"/bin/sh", "-c", script}, "", merged);
  EXPECT_EQ(r.out, "out\nerr\nout2\n");
  r = run({"/bin/sh", "-c", "cat; exit 3"}, "typed\n");
  EXPECT_TRUE(r.exited(3));
  EXPECT_EQ(r.out, "typed\n");
}

}  // namespace
}  // namespace zvktest
