// Runs a program on a pseudo-terminal, as a user at a terminal would: keys
// are typed into it and everything it shows is read back as one stream.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "runner.h"

namespace zvktest {

// Keys as a terminal sends them.
namespace key {
inline constexpr std::string_view up = "\x1b[A";
inline constexpr std::string_view down = "\x1b[B";
inline constexpr std::string_view left = "\x1b[D";
inline constexpr std::string_view tab = "\t";
inline constexpr std::string_view enter = "\r";
inline constexpr std::string_view ctrl_c = "\x03";
inline constexpr std::string_view ctrl_d = "\x04";
}  // namespace key

struct TerminalOptions {
  std::string cwd;               // working directory of the program (empty: inherit)
  std::vector<std::string> env;  // "NAME=value" settings added to the environment
  int columns = 100;
  int rows = 30;
};

class Terminal {
 public:
  Terminal(const std::vector<std::string>& argv, const TerminalOptions& opt = {});
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void type(std::string_view keys);
  // Waits until the screen stream holds `count` occurrences of needle;
  // false on timeout or when the program ends first.
  bool wait_for(std::string_view needle, int count = 1, int timeout_seconds = 20);
  // Waits until the terminal is out of line mode, as a line editor puts it
  // while it waits for keys (before that, keys would be taken as a line);
  // false on timeout or when the program ends first.
  bool wait_editing(int timeout_seconds = 20);
  // Number of occurrences of needle in what was shown so far.
  int count(std::string_view needle) const;
  // Everything the program wrote to the terminal so far.
  const std::string& screen() const { return screen_; }
  // Waits for the program to end (it is killed after the timeout, which is
  // recorded as a test failure); its status, with the screen as out.
  RunResult finish(int timeout_seconds = 20);

 private:
  bool read_some(int wait_ms);

  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;  // held open to read the program's terminal modes
  std::string screen_;
  RunResult result_;
  bool reaped_ = false;
};

}  // namespace zvktest
