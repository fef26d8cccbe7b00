#include "platform.h"

#include <cerrno>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if defined(ZVK_FAULTS)
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#endif

int platform_lock_exclusive(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? 1 : -1;
    }
    return 0;
}

#if defined(ZVK_FAULTS)
namespace {

// The fault plan of a test run, read from the environment once.
struct FaultPlan {
    unsigned long kill_at = 0, fail_at = 0, fail_count = 1, short_at = 0;
    int log = -1;
    unsigned long writes = 0;

    FaultPlan() {
        kill_at = number("ZVK_FAULT_KILL");
        short_at = number("ZVK_FAULT_SHORT");
        if (const char* f = std::getenv("ZVK_FAULT_FAIL")) {
            char* end = nullptr;
            fail_at = std::strtoul(f, &end, 10);
            if (*end == ':') fail_count = std::strtoul(end + 1, nullptr, 10);
        }
        if (const char* p = std::getenv("ZVK_FAULT_LOG"))
            log = ::open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    static unsigned long number(const char* name) {
        const char* s = std::getenv(name);
        return s ? std::strtoul(s, nullptr, 10) : 0;
    }
    // Append one record to the log.
    void record(char kind, std::uint64_t off, const void* buf, std::size_t len) {
        if (log < 0) return;
        unsigned char head[17];
        head[0] = static_cast<unsigned char>(kind);
        const std::uint64_t l = len;
        for (int i = 0; i < 8; ++i) {
            head[1 + i] = static_cast<unsigned char>(off >> (8 * i));
            head[9 + i] = static_cast<unsigned char>(l >> (8 * i));
        }
        if (::write(log, head, sizeof head) < 0 || (len && ::write(log, buf, len) < 0)) log = -1;
    }
};

FaultPlan& plan() {
    static FaultPlan p;
    return p;
}

}  // namespace
#endif

namespace {

// Run a sync call on fd, retrying when interrupted; 0 on success. The fuzz
// target and the fault tests run many whole sessions: there a real sync
// would take most of their time and finds nothing (the fault tests learn
// the barriers from the log).
int sync_call(int fd, int (*call)(int)) {
#if defined(ZVK_FAULTS)
    plan().record('B', 0, nullptr, 0);
#endif
#if defined(ZVK_FUZZ_BUILD) || defined(ZVK_FAULTS)
    (void)fd;
    (void)call;
    return 0;
#else
    while (call(fd) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
#endif
}

}  // namespace

int platform_sync(int fd) { return sync_call(fd, ::fsync); }

int platform_datasync(int fd) {
#if defined(__APPLE__)
    return sync_call(fd, ::fsync);
#else
    return sync_call(fd, ::fdatasync);
#endif
}

long platform_copy_range(int in, long long in_off, int out, long long out_off, std::size_t len) {
#if defined(__linux__) && !defined(ZVK_FAULTS)
    off_t from = static_cast<off_t>(in_off);
    off_t to = static_cast<off_t>(out_off);
    ssize_t r;
    do {
        r = copy_file_range(in, &from, out, out_off < 0 ? nullptr : &to, len, 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
#else
    // Elsewhere, and in the build for the fault tests (whose every volume
    // write must pass the fault layer), the callers copy through memory.
    (void)in;
    (void)in_off;
    (void)out;
    (void)out_off;
    (void)len;
    errno = ENOSYS;
    return -1;
#endif
}

int platform_device_readonly(int fd) {
#if defined(BLKROGET)
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
    int ro = 0;
    return ::ioctl(fd, BLKROGET, &ro) == 0 && ro != 0 ? 1 : 0;
#else
    // Elsewhere a write-protected device refuses to open for writing, so the
    // read-only open that follows already applies.
    (void)fd;
    return 0;
#endif
}

ssize_t platform_pwrite(int fd, const void* buf, std::size_t len, off_t off) {
#if defined(ZVK_FAULTS)
    FaultPlan& p = plan();
    const unsigned long n = ++p.writes;
    if (n == p.kill_at) ::kill(::getpid(), SIGKILL);
    if (p.fail_at && n >= p.fail_at && n - p.fail_at < p.fail_count) {
        errno = EIO;
        return -1;
    }
    if (n == p.short_at && len > 1) len /= 2;
    const ssize_t r = ::pwrite(fd, buf, len, off);
    if (r > 0) p.record('W', static_cast<std::uint64_t>(off), buf, static_cast<std::size_t>(r));
    return r;
#else
    return ::pwrite(fd, buf, len, off);
#endif
}
