#include "session.h"

#include <cstdio>

#ifndef ZVKFM_PATH
#error "ZVKFM_PATH must name the zvkfm binary"
#endif

namespace zvktest {

const std::string& zvkfm_path() {
  static const std::string path = ZVKFM_PATH;
  return path;
}

std::string transcript(const std::vector<std::string>& replies, bool ended_by_eof,
                       const std::string& before) {
  std::string s = kBanner + before;
  for (const std::string& r : replies) s += kPrompt + r;
  if (ended_by_eof) s += kPrompt;
  return s;
}

std::string display_name(unsigned type) {
  switch (type) {
    case 2: return "./           ";
    case 3: return "   instr tlm ";
    case 8: return "..           ";
    case 9: return "   macro tlm ";
    case 23: return "   bank  tlm+";
    case 24: return "   effct tlm+";
    case 25: return "   seq   tlm+";
    case 26: return "   song  tlm+";
    case 27: return "os       tlm+";
    case 28: return "   seq   zvk ";
    case 29: return "   song  zvk ";
    case 30: return "   bank  zvk ";
    case 32: return "os       zvk ";
    case 33: return "   effct zvk ";
    case 34: return "   macro zvk ";
    default: return "?? ???   ??? ";
  }
}

std::string ls_line(int nr, const Entry& e) {
  char buf[200];
  std::string name = e.name.substr(0, e.name.find('\0'));
  std::snprintf(buf, sizeof buf, "%3i | %s%3u |%13s |%6u |%6u |%9u\n", nr,
                display_name(e.type).c_str(), e.type, name.c_str(), e.size, e.cont, e.first);
  return buf;
}

std::string ls_empty() {
  std::string rule(65, '-');
  return " nr | type     dev  id | name         | size  | cont  | startblk \n" + rule + "\n" + rule +
         "\n";
}

std::string ls_listing(const Image& img, const Dir& d) {
  std::string rule(65, '-');
  std::string s = " nr | type     dev  id | name         | size  | cont  | startblk \n" + rule + "\n";
  for (int i = 0; i < kDirEntries; ++i) {
    Entry e = img.entry(d, i);
    if (e.type != 0) s += ls_line(i, e);
  }
  return s + rule + "\n";
}

std::string pwd_text(const std::vector<PathPart>& path) {
  std::string s = "working directory: " + path.back().name + "\npath=\n";
  for (const PathPart& p : path) {
    char buf[100];
    std::snprintf(buf, sizeof buf, "  (%2i)%s @%lu\n", p.nr, p.name.c_str(), p.start);
    s += buf;
  }
  return s;
}

RunResult zvk_args(const std::vector<std::string>& args, const std::string& script,
                   RunOptions opt) {
  std::vector<std::string> argv{zvkfm_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, script, opt);
}

RunResult ZvkTest::zvk(const std::string& script, RunOptions opt) const {
  if (opt.cwd.empty()) opt.cwd = tmp.path();
  return zvk_args({image_path}, script, opt);
}

std::unique_ptr<Child> ZvkTest::start(RunOptions opt) const {
  if (opt.cwd.empty()) opt.cwd = tmp.path();
  return std::make_unique<Child>(std::vector<std::string>{zvkfm_path(), image_path}, opt);
}

void ZvkTest::expect_consistent(const CheckOptions& opt) const {
  std::vector<std::string> problems = check_volume_file(image_path, opt);
  EXPECT_TRUE(problems.empty()) << "volume checker:\n" << join_lines(problems);
}

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> data) {
  data.resize((data.size() + kBlockSize - 1) / kBlockSize * kBlockSize, 0);
  return data;
}

}  // namespace zvktest
