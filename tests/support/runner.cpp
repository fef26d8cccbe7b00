#include "runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace zvktest {
namespace {

using Clock = std::chrono::steady_clock;

void ignore_sigpipe() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &sa, nullptr);
}

void set_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void set_cloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// Runs in the child after fork: wires the streams, drops privileges if asked
// and replaces the process; never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const RunOptions& opt, int in,
                             int out, int err) {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
  sigset_t mask;
  sigemptyset(&mask);
  for (int s : opt.blocked_signals) sigaddset(&mask, s);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(126);
  if (opt.umask >= 0) ::umask(static_cast<mode_t>(opt.umask));
  if (opt.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

std::string describe(const RunResult& r) {
  std::string s = "exit code " + std::to_string(r.exit_code);
  if (r.term_signal != 0) s += ", killed by signal " + std::to_string(r.term_signal);
  if (r.timed_out) s += ", TIMED OUT";
  s += "\n--- stdout ---\n" + r.out + "\n--- stderr ---\n" + r.err + "\n---";
  return s;
}

Child::Child(const std::vector<std::string>& argv, const RunOptions& opt)
    : merged_(opt.merge_output) {
  ignore_sigpipe();
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (!opt.stdin_path.empty()) {
    in[0] = ::open(opt.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in[0] < 0) throw std::runtime_error("can't open " + opt.stdin_path);
  } else if (pipe(in) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  if (!merged_ && pipe(err) != 0) throw std::runtime_error("pipe failed");
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    if (fd >= 0) set_cloexec(fd);
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) exec_child(argv, opt, in[0], out[1], merged_ ? out[1] : err[1]);
  close(in[0]);
  if (in[1] >= 0) {
    in_ = in[1];
    set_nonblock(in_);
  }
  close(out[1]);
  out_ = out[0];
  set_nonblock(out_);
  if (!merged_) {
    close(err[1]);
    err_ = err[0];
    set_nonblock(err_);
  }
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    reap(true);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) close(fd);
  }
}

void Child::send(std::string_view text) { pending_.append(text); }

void Child::close_input() { close_after_ = true; }

void Child::signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

bool Child::pump_once(int wait_ms) {
  pollfd fds[3];
  int n = 0;
  int in_idx = -1, out_idx = -1, err_idx = -1;
  if (in_ >= 0 && !pending_.empty()) {
    in_idx = n;
    fds[n++] = {in_, POLLOUT, 0};
  } else if (in_ >= 0 && close_after_) {
    close(in_);
    in_ = -1;
  }
  if (out_ >= 0) {
    out_idx = n;
    fds[n++] = {out_, POLLIN, 0};
  }
  if (err_ >= 0) {
    err_idx = n;
    fds[n++] = {err_, POLLIN, 0};
  }
  if (n == 0) return false;
  int r = poll(fds, static_cast<nfds_t>(n), wait_ms);
  if (r < 0 && errno != EINTR) return false;
  if (r <= 0) return true;
  if (in_idx >= 0 && (fds[in_idx].revents & (POLLOUT | POLLERR | POLLHUP))) {
    ssize_t w = write(in_, pending_.data(), pending_.size());
    if (w > 0) {
      pending_.erase(0, static_cast<std::size_t>(w));
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      pending_.clear();  // the child closed its input
      close(in_);
      in_ = -1;
    }
  }
  auto drain = [&](int idx, int& fd, std::string& into) {
    if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buf[65536];
    ssize_t got = read(fd, buf, sizeof buf);
    if (got > 0) {
      into.append(buf, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      close(fd);
      fd = -1;
    }
  };
  drain(out_idx, out_, result_.out);
  drain(err_idx, err_, result_.err);
  return true;
}

bool Child::pump_until(const std::function<bool()>& done, int timeout_seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    if (!pump_once(5)) {
      return done();
    }
    if (out_ < 0 && err_ < 0) return done();
  }
  return true;
}

bool Child::wait_for(std::string_view needle, int count, int timeout_seconds) {
  const std::string& hay = merged_ ? result_.out : result_.err;
  return pump_until(
      [&] {
        int found = 0;
        for (std::size_t pos = hay.find(needle); pos != std::string::npos;
             pos = hay.find(needle, pos + needle.size())) {
          if (++found >= count) return true;
        }
        return false;
      },
      timeout_seconds);
}

void Child::reap(bool block) {
  if (reaped_) return;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return;
  reaped_ = true;
  if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.term_signal = WTERMSIG(status);
}

RunResult Child::finish(int timeout_seconds) {
  close_input();
  bool ok = pump_until([&] { return out_ < 0 && err_ < 0; }, timeout_seconds);
  if (ok) {
    auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
    while (!reaped_ && Clock::now() < deadline) {
      reap(false);
      if (!reaped_) usleep(2000);
    }
    ok = reaped_;
  }
  if (!ok) {
    kill(pid_, SIGKILL);
    reap(true);
    result_.timed_out = true;
    ADD_FAILURE() << "the child did not end within " << timeout_seconds << " s and was killed";
  }
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
  return result_;
}

RunResult run(const std::vector<std::string>& argv, std::string_view input, const RunOptions& opt) {
  if (!opt.stdin_from_file) {
    Child c(argv, opt);
    c.send(input);
    return c.finish(opt.timeout_seconds);
  }
  // The script is complete in its file before the child starts.
  TempDir dir;
  RunOptions o = opt;
  o.stdin_path = dir.file("script");
  {
    int fd = ::open(o.stdin_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("can't write script file");
    std::size_t done = 0;
    while (done < input.size()) {
      ssize_t w = write(fd, input.data() + done, input.size() - done);
      if (w <= 0) break;
      done += static_cast<std::size_t>(w);
    }
    close(fd);
  }
  if (o.unprivileged) chmod(dir.path().c_str(), 0755);
  Child c(argv, o);
  return c.finish(opt.timeout_seconds);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zvk-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::open_to_all() const { chmod(path_.c_str(), 0777); }

bool set_mode(const std::string& path, unsigned mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace zvktest
