// zvk serve: the command line, the volumes, the token, the two listening
// sockets, and the orderly stop on a signal.
#include "serve.h"

#include <httplib.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "console.h"
#include "server.h"

extern char** environ;

namespace {

struct Options {
    int port = 0;
    bool read_only = false;
    bool open = true;
    std::vector<std::string> images;
};

int usage() {
    std::fprintf(stderr, "usage: zvk serve [--port N] [--read-only] [--no-open] IMAGE...\n");
    return 2;
}

// 0 with *o filled, else the exit status.
int parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc) {
            char* end = nullptr;
            const long p = std::strtol(argv[++i], &end, 10);
            if (!end || *end || p < 1 || p > 65535) return usage();
            o->port = static_cast<int>(p);
        } else if (a.rfind("--port=", 0) == 0) {
            char* end = nullptr;
            const long p = std::strtol(a.c_str() + 7, &end, 10);
            if (!end || *end || p < 1 || p > 65535) return usage();
            o->port = static_cast<int>(p);
        } else if (a == "--read-only") {
            o->read_only = true;
        } else if (a == "--no-open") {
            o->open = false;
        } else if (a == "--") {
            for (++i; i < argc; ++i) o->images.emplace_back(argv[i]);
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            o->images.push_back(a);
        }
    }
    return o->images.empty() ? usage() : 0;
}

// Whether this host has an IPv6 loopback to listen on.
bool ipv6_loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

struct Listeners {
    std::unique_ptr<httplib::Server> v4, v6;
    int port = 0;
};

std::unique_ptr<httplib::Server> new_server() {
    auto s = std::make_unique<httplib::Server>();
    // Enough workers for a browser's connections, several tabs and the
    // requests that queue behind a change.
    s->new_task_queue = [] { return new httplib::ThreadPool(24); };
    // Headers and body go out as separate writes: without this the body
    // of a small answer waits for the client's delayed acknowledgement.
    s->set_tcp_nodelay(true);
    s->set_keep_alive_timeout(2);
    s->set_read_timeout(30);
    s->set_write_timeout(30);
    return s;
}

// Bind 127.0.0.1 (and ::1 where the host has it) on one port: the port
// asked for, or a free one found for both. false when none could be had.
bool bind_both(int want, Listeners* l) {
    const bool six = ipv6_loopback();
    for (int attempt = 0; attempt < 20; ++attempt) {
        l->v4 = new_server();
        l->port = want ? (l->v4->bind_to_port("127.0.0.1", want) ? want : -1) : l->v4->bind_to_any_port("127.0.0.1");
        if (l->port <= 0) return false;
        if (!six) return true;
        l->v6 = new_server();
        if (l->v6->bind_to_port("::1", l->port)) return true;
        l->v6.reset();
        // A port asked for is kept even when ::1 is taken; 127.0.0.1 works.
        if (want) return true;
    }
    return false;
}

// Open the address in the desktop's browser, without waiting for it.
void open_browser(const std::string& url) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    char prog[] = "xdg-open";
    std::string u = url;
    char* args[] = {prog, u.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, prog, &fa, nullptr, args, environ) != 0)
        std::fprintf(stderr, "note: xdg-open could not be started; open the address above yourself\n");
    else
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    posix_spawn_file_actions_destroy(&fa);
}

// Block the stop signals in every thread (the threads made later inherit
// the mask); the main thread waits for them. *before: the mask as it was.
sigset_t stop_signals(sigset_t* before) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, before);
    return set;
}

void note_read_only(const App& app) {
    for (const auto& s : app.volumes)
        if (!s->writable()) std::fprintf(stderr, "note: %s: %s\n", s->path.c_str(), s->read_only_why.c_str());
}

// The layer's messages go nowhere while the server runs: the page shows
// each failure its own way.
struct QuietConsole {
    std::FILE* sink = std::fopen("/dev/null", "w");
    QuietConsole() {
        if (sink) console.err = sink;
    }
    ~QuietConsole() {
        console.err = stderr;
        if (sink) std::fclose(sink);
    }
    QuietConsole(const QuietConsole&) = delete;
    QuietConsole& operator=(const QuietConsole&) = delete;
};

// Wait (at most a second) until a listener runs, so that a stop reaches it.
void until_running(httplib::Server& s) {
    for (int i = 0; i < 1000 && !s.is_running(); ++i) usleep(1000);
}

// Serve on l until a stop signal, then let the running requests finish and
// make every volume durable.
void serve_until_stopped(App& app, const Gate& gate, Listeners& l, bool open, const sigset_t& stops) {
    server_routes(*l.v4, app, gate);
    if (l.v6) server_routes(*l.v6, app, gate);
    std::thread t4([&l] { l.v4->listen_after_bind(); });
    std::thread t6([&l] { if (l.v6) l.v6->listen_after_bind(); });
    std::string url = "http://127.0.0.1:";
    url += std::to_string(l.port);
    url += "/?token=";
    url += gate.token;
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);
    note_read_only(app);
    if (open) open_browser(url);
    int sig = 0;
    sigwait(&stops, &sig);
    until_running(*l.v4);
    l.v4->stop();
    if (l.v6) {
        until_running(*l.v6);
        l.v6->stop();
    }
    t4.join();
    t6.join();
    for (auto& s : app.volumes) {
        std::unique_lock<std::shared_mutex> hold(s->access);
        if (!s->vol.read_only) volume_sync(s->vol);
    }
}

}  // namespace

int serve_main(int argc, char** argv) {
    Options o;
    if (int r = parse(argc, argv, &o); r != 0) return r;
    signal(SIGPIPE, SIG_IGN);
    sigset_t before;
    const sigset_t stops = stop_signals(&before);
    QuietConsole quiet;
    App app;
    std::string why;
    Gate gate;
    Listeners l;
    int status = 0;
    if (!served_open(o.images, o.read_only, &app.volumes, &why)) {
        std::fprintf(stderr, "zvk serve: %s\n", why.c_str());
        status = 3;
    } else if (!random_secret(32, &gate.token) || !random_secret(16, &gate.csrf)) {
        std::fprintf(stderr, "zvk serve: the system gave no random numbers for the token\n");
        status = 1;
    } else if (!bind_both(o.port, &l)) {
        if (o.port) std::fprintf(stderr, "zvk serve: can't listen on 127.0.0.1:%d (in use?)\n", o.port);
        else std::fprintf(stderr, "zvk serve: can't listen on 127.0.0.1\n");
        status = 1;
    } else {
        gate.port = l.port;
        serve_until_stopped(app, gate, l, o.open, stops);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return status;
}
