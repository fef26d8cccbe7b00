// Child process runner for the end-to-end tests.
#include "run_tool.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Exec program in the child; never returns.
[[noreturn]] void child(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd, mode_t mask, int out_fd, int err_fd) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
        ::chdir(cwd.c_str()) != 0)
        ::_exit(126);
    ::umask(mask);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

// Read both pipes until both reach end of file.
void drain(int out_fd, int err_fd, ToolResult& r) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

ToolResult run_tool(const std::string& program, const std::vector<std::string>& args,
                    const std::string& cwd, mode_t mask) {
    ToolResult r;
    int out_pipe[2], err_pipe[2];
    if (::pipe(out_pipe) != 0)
        return r;
    if (::pipe(err_pipe) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return r;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        child(program, args, cwd, mask, out_pipe[1], err_pipe[1]);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid > 0)
        drain(out_pipe[0], err_pipe[0], r);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int ws = 0;
    if (pid > 0 && ::waitpid(pid, &ws, 0) == pid && WIFEXITED(ws))
        r.status = WEXITSTATUS(ws);
    return r;
}
