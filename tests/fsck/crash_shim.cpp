// Preloaded into zvkfsck by the crash test: the process ends at once, as if
// the power had gone, when it is about to make its Nth write (N taken from
// ZVK_CRASH_AT); that write and every later one never happen.
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long writes_left() {
    static long left = [] {
        const char* s = std::getenv("ZVK_CRASH_AT");
        return s ? std::atol(s) : 0;
    }();
    return left > 0 ? --left : -1;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
    using Fn = ssize_t (*)(int, const void*, size_t, off_t);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pwrite"));
    if (writes_left() == 0) _exit(99);
    return real(fd, buf, n, off);
}

extern "C" ssize_t pwrite64(int fd, const void* buf, size_t n, off_t off) { return pwrite(fd, buf, n, off); }
