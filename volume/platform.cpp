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

long platform_copy_range(int in, long long in_off, int out, long long out_off, std::size_t len) {
#if defined(__linux__)
    off_t from = static_cast<off_t>(in_off);
    off_t to = static_cast<off_t>(out_off);
    ssize_t r;
    do {
        r = copy_file_range(in, &from, out, out_off < 0 ? nullptr : &to, len, 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
#else
    (void)in;
    (void)in_off;
    (void)out;
    (void)out_off;
    (void)len;
    errno = ENOSYS;
    return -1;
#endif
}
