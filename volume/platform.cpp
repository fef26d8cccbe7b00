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
