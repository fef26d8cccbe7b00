// Randomised sessions with a fixed seed: hundreds of commands, valid and
// not, on healthy and on damaged volumes. The program must never die of a
// signal or hang, must end with status 0, must print nothing on stderr but
// its own texts, and must leave a healthy volume consistent.
#include <sys/stat.h>

#include <functional>

#include "session.h"

namespace zvktest {
namespace {

// A small deterministic generator, the same on every platform.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed * 2862933555777941757ULL + 3037000493ULL) {}
  std::uint32_t next() {
    s_ = s_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(s_ >> 33);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint32_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
  template <class T>
  const T& pick(const std::vector<T>& v) {
    return v[static_cast<std::size_t>(below(static_cast<int>(v.size())))];
  }

 private:
  std::uint64_t s_;
};

const std::vector<std::string> kNames = {"a", "Beta", "x.ins", "averyveryverylongname", "n1",
                                         "SONG", "dir", "z"};
const std::vector<std::string> kHosts = {"h0", "h1", "h2", "h3", "missing", "hdir"};
const std::vector<std::string> kOuts = {"o1", "o2", "o3", "nodir/x"};

std::string number(Rng& g) {
  int k = g.below(20);
  if (k < 14) return std::to_string(g.below(8));
  static const std::vector<std::string> odd = {"-1", "38", "39", "100", "..", "abc"};
  return g.pick(odd);
}

std::string answer(Rng& g, bool allow_yes) {
  if (!allow_yes) return g.chance(50) ? "n\n" : "\n";
  return g.chance(60) ? "y\n" : (g.chance(50) ? "no\n" : "yes\n");
}

// One command line (with the answers its dialogue reads). In safe mode the
// commands that are documented to break a volume's consistency (rm -e, ln,
// a label dialogue that changes the total) are never confirmed, and newfs is
// followed by df -c.
std::string command(Rng& g, bool safe) {
  switch (g.below(30)) {
    case 0: return "ls\n";
    case 1: return g.chance(50) ? "ls -t\n" : "dir\n";
    case 2: return "pwd\n";
    case 3: return g.chance(30) ? "cd\n" : "cd " + number(g) + "\n";
    case 4: return "fatlist " + number(g) + "\n";
    case 5: return g.chance(50) ? "label\n" : "help\n";
    case 6: return g.chance(50) ? "df\n" : "df -c\n";
    case 7: return "sync\n";
    case 8:
    case 9: return "mkdir " + g.pick(kNames) + "\n";
    case 10: return "rmdir " + number(g) + "\n";
    case 11: return (g.chance(50) ? "rm " : "del ") + number(g) + "\n";
    case 12: return "rm -e " + number(g) + "\n" + answer(g, !safe);
    case 13: return "chname " + g.pick(kNames) + " " + number(g) + "\n";
    case 14: return "chtype " + std::to_string(g.below(300)) + " " + number(g) + "\n";
    case 15: return "ln " + number(g) + "\n" + answer(g, !safe);
    case 16:
    case 17: return "mv " + number(g) + " " + number(g) + "\n";
    case 18: return "cp " + number(g) + " " + g.pick(kNames) + "\n";
    case 19: return "get " + number(g) + " " + g.pick(kOuts) + "\n";
    case 20:
    case 21: {
      static const std::vector<std::string> types = {"3", "29", "0", "2", "256", "31", "9", "32"};
      if (g.chance(50)) return "put " + g.pick(kHosts) + " " + g.pick(types) + "\n";
      return "put " + g.pick(kHosts) + " " + g.pick(kNames) + " " + g.pick(types) + "\n";
    }
    case 22: return "loados " + g.pick(kHosts) + " " + g.pick(kNames) + "\n";
    case 23: return "chlabel " + g.pick(kNames) + "\n";
    case 24: {
      // Small geometry only, so that a confirmed newfs stays cheap.
      std::string s = "chlabel\n" + answer(g, true);
      s += (g.chance(30) ? "" : std::to_string(1 + g.below(20))) + "\n";
      s += (g.chance(30) ? "" : std::to_string(1 + g.below(4))) + "\n";
      s += (g.chance(30) ? "" : std::to_string(1 + g.below(20))) + "\n";
      s += (g.chance(70) ? "" : std::to_string(g.below(2000))) + "\n";
      s += (g.chance(50) ? "" : g.pick(kNames)) + "\n";
      return s + answer(g, !safe);
    }
    case 25: {
      if (g.chance(70)) return "put " + g.pick(kHosts) + " 3\n";
      std::string s = "newfs\n" + answer(g, true);
      return safe ? s + "df -c\n" : s;
    }
    case 26: {
      static const std::vector<std::string> bad = {"EXIT", "foo", "ls -x", "rm -x 1", "mv 1",
                                                   "put a", "cd 1 2", "   ", ""};
      return g.pick(bad) + "\n";
    }
    case 27: return std::string(static_cast<std::size_t>(500 + g.below(600)), 'x') + "\n";
    case 28: return "cd " + number(g) + "\nls\n";
    default: return "mkdir " + g.pick(kNames) + "\ncd " + number(g) + "\n";
  }
}

bool all_digits(const std::string& s, bool sign_allowed) {
  std::size_t i = sign_allowed && !s.empty() && s[0] == '-' ? 1 : 0;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// Removes every "head<middle>tail" whose middle passes `ok` and holds no
// newline.
void erase_framed(std::string& text, const std::string& head, const std::string& tail,
                  const std::function<bool(const std::string&)>& ok) {
  std::size_t pos = 0;
  while ((pos = text.find(head, pos)) != std::string::npos) {
    std::size_t end = text.find(tail, pos + head.size());
    std::size_t nl = text.find('\n', pos + head.size());
    if (end == std::string::npos || (nl != std::string::npos && nl < end)) {
      pos += head.size();
      continue;
    }
    std::string middle = text.substr(pos + head.size(), end - pos - head.size());
    if (ok(middle)) {
      text.erase(pos, end + tail.size() - pos);
    } else {
      pos += head.size();
    }
  }
}

bool starts_with(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

bool ends_with(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

bool allowed_line(const std::string& line) {
  static const std::vector<std::string> fixed = {
      "",
      "         its blocks will be lost!",
      "         Be careful if you want to delete such a file.",
      "         (Remove the directory entry only for a link count>1!).",
      "directory entry deleted!",
      "link created!",
      "new label written!",
      "new filesystem created!",
      "invalid command. (Try `help'.)",
      "nr of bytes per block=512",
  };
  for (const std::string& f : fixed) {
    if (line == f) return true;
  }
  if (starts_with(line, "error: ") || starts_with(line, "warning: ") || starts_with(line, "usage: ")) {
    return true;
  }
  if (starts_with(line, "open file `") && ends_with(line, "' readonly.")) return true;
  const std::string free_head = "-> blocks free=", free_tail = " (you should call `newfs'!)";
  if (starts_with(line, free_head) && ends_with(line, free_tail)) {
    return all_digits(line.substr(free_head.size(), line.size() - free_head.size() - free_tail.size()),
                      false);
  }
  return false;
}

// Every line of stderr is a prompt, an error or warning, or one of the
// program's own fixed texts; returns the lines that are none of these.
std::vector<std::string> foreign_lines(std::string err) {
  std::vector<std::string> bad;
  if (!starts_with(err, kBanner)) {
    bad.push_back("stderr does not begin with the banner");
    return bad;
  }
  err.erase(0, kBanner.size());
  auto any = [](const std::string&) { return true; };
  auto digits = [](const std::string& m) { return all_digits(m, false); };
  erase_framed(err, "zvk >", " ", [](const std::string& m) { return m.empty(); });
  erase_framed(err, "If you really want to ", " type `y' >", any);
  erase_framed(err, "nr of sectors [", "]:", digits);
  erase_framed(err, "nr of hds [", "]:", digits);
  erase_framed(err, "nr of cylinders [", "]:", digits);
  erase_framed(err, "-> total nr of blocks [", "]:", [](const std::string& m) { return all_digits(m, true); });
  erase_framed(err, "disk label [", "]:", any);
  std::size_t start = 0;
  while (start < err.size()) {
    std::size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    std::string line = err.substr(start, end - start);
    if (!allowed_line(line)) bad.push_back(line);
    start = end + 1;
  }
  return bad;
}

class RandomSessions : public ZvkTest {
 protected:
  void SetUp() override {
    host_file("h0", {});
    host_file("h1", pattern(1, 1));
    host_file("h2", pattern(700, 2));
    host_file("h3", pattern(5000, 3));
    mkdir(host("hdir").c_str(), 0755);
  }

  // Runs one random session; returns the script for failure messages.
  RunResult session(Rng& g, int commands, bool safe, std::string& script) {
    script.clear();
    for (int i = 0; i < commands; ++i) script += command(g, safe);
    if (g.chance(50)) script += "exit\n";
    RunResult r = zvk(script);
    EXPECT_EQ(r.term_signal, 0) << "killed by a signal\n" << script;
    EXPECT_FALSE(r.timed_out) << script;
    EXPECT_EQ(r.exit_code, 0) << describe(r) << "\nscript:\n" << script;
    std::vector<std::string> bad = foreign_lines(r.err);
    EXPECT_TRUE(bad.empty()) << "unexpected stderr lines:\n" << join_lines(bad) << "script:\n" << script;
    return r;
  }
};

Image healthy(int variant) {
  Image img = Image::formatted(variant % 2 ? 400 : 1200, {10, 2, 20}, "RAND");
  img.add_file(img.root(), 0, "OPSYS", 32, 3);
  img.add_file(img.root(), 1, "SONG", 29, 4);
  Dir s = img.add_subdir(img.root(), 2, "SUB");
  img.add_file(s, 1, "INSTR", 3, 2);
  Dir t = img.add_subdir(s, 2, "DEEPER");
  img.add_file(t, 1, "SEQ", 28, 1);
  img.add_subdir(img.root(), 4, "EMPTY");
  return img;
}

TEST(StderrFilter, KnowsTheProgramsTexts) {
  std::string good = kBanner + "zvk > error: no file entry.\nzvk > warning: a new label will be created.\n"
                     "If you really want to create a new label type `y' >\nnr of sectors [10]:"
                     "nr of hds [2]:nr of cylinders [80]:nr of bytes per block=512\n"
                     "-> total nr of blocks [-5]:-> blocks free=0 (you should call `newfs'!)\n"
                     "disk label [A B    ]:\nzvk > usage: newfs\nzvk > ";
  EXPECT_EQ(foreign_lines(good), std::vector<std::string>{});
  EXPECT_EQ(foreign_lines(kBanner + "zvk > Segmentation fault\nzvk > nr of hds [x]:\n"),
            (std::vector<std::string>{"Segmentation fault", "nr of hds [x]:"}));
}

TEST_F(RandomSessions, HealthyVolumesStayConsistent) {
  for (int seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng g(static_cast<std::uint64_t>(seed));
    save(healthy(seed));
    std::string script;
    session(g, 120, true, script);
    std::vector<std::string> problems = check_volume_file(image_path);
    EXPECT_TRUE(problems.empty()) << "volume checker:\n" << join_lines(problems) << "script:\n" << script;
  }
}

// The damaged volumes the sessions run on.
Image damaged(int kind, Rng& g) {
  Image img = healthy(1);
  Dir root = img.root();
  Dir sub = img.subdir(root, 2);
  Entry song = img.entry(root, 1);
  switch (kind) {
    case 0: img.set_fat(song.first + 3, song.first); break;  // loop
    case 1: img.set_fat(song.first + 1, kFatFree); break;    // into a free block
    case 2: img.set_fat(song.first + 1, kFatBad); break;
    case 3: img.set_fat(song.first + 1, 99999); break;       // past the end
    case 4: img.set_entry_field(root, 2, 14, 2, 5); break;  // wrong count
    case 5: img.set_entry_field(sub, 0, 16, 2, 45); break;  // parent link above 38
    case 6: img.truncate_bytes(20 * kBlockSize); break;     // truncated image
    case 7: img.set_total(100000); break;                   // total beyond the file
    case 8: img.set_total(12); break;                       // total below the tree
    case 9:                                                  // directories pointing back up
      img.set_entry(sub, 3, Entry{.type = 2, .name = "UP", .cont = 2, .first = sub.b0});
      img.set_entry(root, 5, Entry{.type = 2, .name = "ROOTLINK", .cont = 2, .first = 3});
      break;
    case 10:  // first blocks 0, free counter 0
      img.set_entry(root, 6, Entry{.type = 3, .name = "ZERO", .size = 3, .cont = 1, .first = 0});
      img.set_entry(root, 7, Entry{.type = 2, .name = "ZERODIR", .cont = 2, .first = 0});
      img.set_free_counter(0);
      break;
    default:  // random bytes over the FAT and the root
      for (int i = 0; i < 300; ++i) {
        std::uint32_t b = 3 + static_cast<std::uint32_t>(g.below(5));
        img.block(b)[g.below(512)] = static_cast<std::uint8_t>(g.next());
      }
      break;
  }
  return img;
}

TEST_F(RandomSessions, DamagedVolumesNeverCrash) {
  for (int kind = 0; kind < 12; ++kind) {
    SCOPED_TRACE("damage " + std::to_string(kind));
    Rng g(static_cast<std::uint64_t>(100 + kind));
    save(damaged(kind, g));
    std::string script;
    session(g, 50, false, script);
  }
}

}  // namespace
}  // namespace zvktest
