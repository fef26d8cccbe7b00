#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace zvktest {
namespace {

using Clock = std::chrono::steady_clock;

// Runs in the child after fork: a session of its own with the terminal as
// its controlling terminal and three standard streams; never returns.
[[noreturn]] void exec_on_terminal(const std::vector<std::string>& argv, const TerminalOptions& opt,
                                   const char* slave_name) {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGWINCH}) sigaction(s, &sa, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (setsid() < 0) _exit(126);
  int slave = ::open(slave_name, O_RDWR);
  if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(126);
  winsize ws{};
  ws.ws_col = static_cast<unsigned short>(opt.columns);
  ws.ws_row = static_cast<unsigned short>(opt.rows);
  ioctl(slave, TIOCSWINSZ, &ws);
  if (dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0) _exit(126);
  if (slave > 2) close(slave);
  if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(126);
  setenv("TERM", "xterm", 1);
  for (const std::string& e : opt.env) putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

Terminal::Terminal(const std::vector<std::string>& argv, const TerminalOptions& opt) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("can't open a pseudo-terminal");
  const char* name = ptsname(master_);
  if (!name) throw std::runtime_error("can't name the pseudo-terminal");
  const std::string slave_name = name;
  // The modes are the slave side's; the master side has its own.
  slave_ = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("can't open the pseudo-terminal's slave side");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) exec_on_terminal(argv, opt, slave_name.c_str());
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Terminal::~Terminal() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void Terminal::type(std::string_view keys) {
  while (!keys.empty() && master_ >= 0) {
    ssize_t w = write(master_, keys.data(), keys.size());
    if (w > 0) {
      keys.remove_prefix(static_cast<std::size_t>(w));
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      read_some(5);  // let the program take what it was sent
    }
  }
}

// Reads what the program wrote within wait_ms; false once the terminal
// is closed (the program ended).
bool Terminal::read_some(int wait_ms) {
  if (master_ < 0) return false;
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, wait_ms) <= 0) return true;
  char buf[4096];
  ssize_t got = read(master_, buf, sizeof buf);
  if (got > 0) {
    screen_.append(buf, static_cast<std::size_t>(got));
    return true;
  }
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  close(master_);  // EIO: no process holds the terminal any more
  master_ = -1;
  return false;
}

int Terminal::count(std::string_view needle) const {
  int found = 0;
  for (std::size_t pos = screen_.find(needle); pos != std::string::npos;
       pos = screen_.find(needle, pos + needle.size()))
    ++found;
  return found;
}

bool Terminal::wait_for(std::string_view needle, int n, int timeout_seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  while (count(needle) < n) {
    if (Clock::now() >= deadline || !read_some(10)) return count(needle) >= n;
  }
  return true;
}

bool Terminal::wait_editing(int timeout_seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    termios t{};
    if (tcgetattr(slave_, &t) == 0 && !(t.c_lflag & ICANON)) return true;
    if (Clock::now() >= deadline || !read_some(10)) return false;
  }
}

RunResult Terminal::finish(int timeout_seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  while (!reaped_ && Clock::now() < deadline) {
    read_some(10);
    if (waitpid(pid_, &status, WNOHANG) == pid_) reaped_ = true;
  }
  if (slave_ >= 0) {
    close(slave_);  // now the master side reads the end of the output
    slave_ = -1;
  }
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    reaped_ = true;
    result_.timed_out = true;
    ADD_FAILURE() << "the program did not end within " << timeout_seconds << " s and was killed";
  }
  while (read_some(0)) {
    if (master_ >= 0) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) break;
    }
  }
  if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.term_signal = WTERMSIG(status);
  result_.out = screen_;
  return result_;
}

}  // namespace zvktest
