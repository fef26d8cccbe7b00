// Shared pieces of the end-to-end tests: the fixture that owns a temporary
// directory and a volume image, the runner call for zvkfm, and the fixed
// texts the program prints (banner, prompt, listings).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "checker.h"
#include "image.h"
#include "runner.h"

namespace zvktest {

inline const std::string kBanner =
    "\n*************************************\n"
    "*                                   *\n"
    "*  Zorvek File Manager              *\n"
    "*  Rev. 1.0                         *\n"
    "*                                   *\n"
    "*************************************\n\n"
    "try \"help\" for infos\n\n";
inline const std::string kPrompt = "zvk > ";
inline const std::string kReadOnlyFlush = "error: can't write FAT, device readonly.\n";
inline const std::string kNoFs = "warning: no file system, use `chlabel' and `newfs'.\n";
inline const std::string kInvalid = "invalid command. (Try `help'.)\n";

// The stderr of a session: the banner, `before` (messages of the start-up),
// then one prompt before each command's own output, and a last prompt when
// the session ends by end of input rather than by exit.
std::string transcript(const std::vector<std::string>& replies, bool ended_by_eof = true,
                       const std::string& before = "");

// The 13-character display name of a type code.
std::string display_name(unsigned type);
// One line of ls, and the whole listing of a directory of an image.
std::string ls_line(int nr, const Entry& e);
std::string ls_listing(const Image& img, const Dir& d);
std::string ls_empty();
// pwd output for a path given as (number, name, start) from the root down.
struct PathPart {
  int nr;
  std::string name;
  unsigned long start;
};
std::string pwd_text(const std::vector<PathPart>& path);

// Base fixture: a temporary directory with the volume image "vol.img" and
// zvkfm run with that directory as its working directory.
class ZvkTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string image_path = tmp.file("vol.img");

  void save(const Image& img) { img.save(image_path); }
  Image load() const { return Image::load(image_path); }
  std::vector<std::uint8_t> image_bytes() const { return read_file(image_path); }

  RunResult zvk(const std::string& script, RunOptions opt = {}) const;
  // A running zvkfm for interactive tests.
  std::unique_ptr<Child> start(RunOptions opt = {}) const;
  std::string host(const std::string& name) const { return tmp.file(name); }
  void host_file(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    write_file(tmp.file(name), bytes);
  }

  // Fails the test with the checker's findings.
  void expect_consistent(const CheckOptions& opt = {}) const;
};

// True when a child asked to run unprivileged could not be started so
// (privileges not droppable, or the program or directory not reachable).
inline bool cannot_run_unprivileged(const RunResult& r) {
  return (r.exit_code == 126 || r.exit_code == 127) && r.err.empty() && r.term_signal == 0;
}

// Runs zvkfm with the given arguments (no volume added).
RunResult zvk_args(const std::vector<std::string>& args, const std::string& script,
                   RunOptions opt = {});

const std::string& zvkfm_path();

// Whole blocks: data padded with zeros to a multiple of 512.
std::vector<std::uint8_t> padded(std::vector<std::uint8_t> data);

}  // namespace zvktest

#define EXPECT_EXIT_CODE(r, code) EXPECT_TRUE((r).exited(code)) << describe(r)
