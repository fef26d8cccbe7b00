#include "body.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The address and port of a socket's end, numerically.
bool endpoint(int fd, bool peer, std::string* addr, int* port) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len)
              : getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len)) != 0)
        return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        *port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        *port = ntohs(a->sin6_port);
    } else {
        return false;
    }
    *addr = text;
    return true;
}

}  // namespace

int connection_socket(const httplib::Request& req) {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int found = -1;
    while (const dirent* e = readdir(d)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (!end || *end || fd < 0 || fd == dirfd(d)) continue;
        std::string local, remote;
        int lport = 0, rport = 0;
        if (endpoint(static_cast<int>(fd), false, &local, &lport) && lport == req.local_port &&
            endpoint(static_cast<int>(fd), true, &remote, &rport) && rport == req.remote_port &&
            remote == req.remote_addr) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(d);
    return found;
}

namespace {

// Read exactly n more bytes from fd onto the end of *data, waiting at most
// 30 seconds for each piece.
bool read_rest(int fd, std::uint64_t n, std::string* data) {
    std::size_t at = data->size();
    data->resize(at + n);
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 30000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t r = recv(fd, data->data() + at, n, 0);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) return false;
        at += static_cast<std::size_t>(r);
        n -= static_cast<std::uint64_t>(r);
    }
    return true;
}

}  // namespace

bool read_upload_body(const httplib::Request& req, const httplib::ContentReader& reader, std::uint64_t length,
                      std::string* data) {
    data->clear();
    data->reserve(length);
    const int fd = connection_socket(req);
    if (fd < 0) {
        // Not found (it should be): httplib's own pace.
        const bool whole = reader([data, length](const char* p, std::size_t n) {
            data->append(p, n);
            return data->size() <= length;
        });
        return whole && data->size() == length;
    }
    // httplib's first piece is all it holds of the body (less than its
    // 4 KB buffer), or a fresh read; then httplib is told to stop, and the
    // rest waits in the socket.
    reader([data](const char* p, std::size_t n) {
        data->append(p, n);
        return false;
    });
    if (data->size() > length) return false;
    return read_rest(fd, length - data->size(), data);
}

bool send_chunk(int fd, const void* data, std::size_t n) {
    if (n == 0) return true;  // an empty chunk would end the answer
    char head[20];
    const int len = std::snprintf(head, sizeof head, "%zx\r\n", n);
    char tail[] = "\r\n";
    iovec parts[3] = {{head, static_cast<std::size_t>(len)}, {const_cast<void*>(data), n}, {tail, 2}};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = 3;
    while (m.msg_iovlen > 0) {
        const ssize_t sent = sendmsg(fd, &m, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        // Past what went out: whole parts dropped, the next one cut.
        std::size_t left = static_cast<std::size_t>(sent);
        while (m.msg_iovlen > 0 && left >= m.msg_iov[0].iov_len) {
            left -= m.msg_iov[0].iov_len;
            ++m.msg_iov;
            --m.msg_iovlen;
        }
        if (m.msg_iovlen > 0) {
            m.msg_iov[0].iov_base = static_cast<char*>(m.msg_iov[0].iov_base) + left;
            m.msg_iov[0].iov_len -= left;
        }
    }
    return true;
}
