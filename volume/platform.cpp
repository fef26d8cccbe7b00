#include "platform.h"

#include <cerrno>
#include <sys/file.h>
#include <unistd.h>

int platform_lock_exclusive(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? 1 : -1;
    }
    return 0;
}

int platform_sync(int fd) {
#if defined(__APPLE__)
    return fsync(fd);
#else
    while (fsync(fd) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
#endif
}

int platform_datasync(int fd) {
#if defined(__APPLE__)
    return fsync(fd);
#else
    while (fdatasync(fd) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
#endif
}

long platform_copy_range(int in, long long in_off, int out, std::size_t len) {
#if defined(__linux__)
    off_t off = static_cast<off_t>(in_off);
    ssize_t r;
    do {
        r = copy_file_range(in, &off, out, nullptr, len, 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
#else
    (void)in;
    (void)in_off;
    (void)out;
    (void)len;
    errno = ENOSYS;
    return -1;
#endif
}
