// Runs a program with a script on its standard input and collects what it
// writes, with a timeout that kills it and fails the test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zvktest {

struct RunOptions {
  bool merge_output = false;    // stdout and stderr into one pipe (RunResult::out)
  bool stdin_from_file = false;  // the script as a regular file instead of a pipe
  bool unprivileged = false;    // run as uid/gid 65534 when started as root
  int timeout_seconds = 20;
  std::string cwd;              // working directory of the child (empty: inherit)
  std::string stdin_path;       // file to use as standard input (Child only)
  int umask = -1;               // file-creation mask of the child (-1: inherit)
  std::vector<int> blocked_signals;  // signals the child starts with blocked
};

struct RunResult {
  std::string out;  // standard output (both streams with merge_output)
  std::string err;  // standard error
  int exit_code = -1;   // exit status when the child exited normally
  int term_signal = 0;  // signal that ended the child, if any
  bool timed_out = false;

  bool exited(int code) const { return term_signal == 0 && !timed_out && exit_code == code; }
};
std::string describe(const RunResult& r);

// A running child with pipes to its three standard streams.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const RunOptions& opt = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Queues text for standard input; it is written while the child is waited on.
  void send(std::string_view text);
  void close_input();  // after the queued text has been written
  // Waits until standard error (the merged stream with merge_output) holds
  // `count` occurrences of `needle`; false on timeout or end of output.
  bool wait_for(std::string_view needle, int count = 1, int timeout_seconds = 20);
  // Waits until `pred` holds (checked every few milliseconds while the
  // output is drained); false on timeout or when the child ends first.
  bool wait_until(const std::function<bool()>& pred, int timeout_seconds = 20) {
    return pump_until(pred, timeout_seconds);
  }
  void signal(int sig);
  // Writes the rest of the input, closes it, reads to the end and reaps the
  // child; kills it (and records a test failure) on timeout.
  RunResult finish(int timeout_seconds = 20);
  const std::string& out() const { return result_.out; }
  const std::string& err() const { return result_.err; }

 private:
  bool pump_until(const std::function<bool()>& done, int timeout_seconds);
  bool pump_once(int wait_ms);
  void reap(bool block);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string pending_;
  bool close_after_ = false;
  bool merged_ = false;
  bool reaped_ = false;
  RunResult result_;
};

// Runs argv to completion with `input` on standard input.
RunResult run(const std::vector<std::string>& argv, std::string_view input,
              const RunOptions& opt = {});

// A temporary directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Makes the directory usable by an unprivileged child (mode 0777).
  void open_to_all() const;

 private:
  std::string path_;
};

// chmod; false when it fails.
bool set_mode(const std::string& path, unsigned mode);

}  // namespace zvktest
