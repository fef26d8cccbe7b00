#include "security.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

std::string cookie_name(int port) { return "zvk-" + std::to_string(port); }

bool is_change(std::string_view method) { return method != "GET" && method != "HEAD"; }

namespace {

// Whether s is prefix, then one of the loopback names, then ":port".
bool loopback_with_port(std::string_view s, std::string_view prefix, int port) {
    if (s.substr(0, prefix.size()) != prefix) return false;
    s.remove_prefix(prefix.size());
    std::string tail(1, ':');
    tail += std::to_string(port);
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"})
        if (s.size() == name.size() + tail.size() && s.substr(0, name.size()) == name && s.substr(name.size()) == tail)
            return true;
    return false;
}

}  // namespace

bool host_allowed(std::string_view host, int port) { return loopback_with_port(host, "", port); }

bool origin_allowed(std::string_view origin, int port) {
    return origin.empty() || loopback_with_port(origin, "http://", port);
}

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string_view cookie_get(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t semi = header.find(';');
        std::string_view part = trim(header.substr(0, semi));
        header = semi == std::string_view::npos ? std::string_view{} : header.substr(semi + 1);
        const std::size_t eq = part.find('=');
        if (eq != std::string_view::npos && trim(part.substr(0, eq)) == name) return trim(part.substr(eq + 1));
    }
    return {};
}

bool secret_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

Verdict screen(const Gate& g, const Knock& k) {
    // Before anything else: a page of another site reaching us through a
    // name that resolves to this machine.
    if (!host_allowed(k.host, g.port)) return Verdict::bad_host;
    const bool cookie_ok = secret_equal(cookie_get(k.cookie, cookie_name(g.port)), g.token);
    if (k.has_token) {
        if (!secret_equal(k.token, g.token)) return Verdict::no_auth;
        if (!is_change(k.method)) return Verdict::welcome;
    } else if (!cookie_ok) {
        return Verdict::no_auth;
    }
    if (is_change(k.method)) {
        if (!secret_equal(k.csrf, g.csrf) || !origin_allowed(k.origin, g.port)) return Verdict::cross_site;
        if (!k.fetch_site.empty() && k.fetch_site != "same-origin") return Verdict::cross_site;
    }
    if (k.chunked || (is_change(k.method) && !k.has_length)) return Verdict::length_required;
    if (k.length > g.max_body) return Verdict::too_large;
    return Verdict::pass;
}

std::string query_without_token(std::string_view query) {
    std::string out;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (part.empty() || part == "token" || part.substr(0, 6) == "token=") continue;
        if (!out.empty()) out += '&';
        out += part;
    }
    return out;
}

namespace {

bool urandom(unsigned char* buf, std::size_t n) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd, buf + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    ::close(fd);
    return done == n;
}

}  // namespace

bool random_secret(std::size_t bytes, std::string* hex) {
    std::vector<unsigned char> buf(bytes);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t r = getrandom(buf.data() + done, bytes - done, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    if (done < bytes && !urandom(buf.data(), bytes)) return false;
    hex->clear();
    char two[3];
    for (unsigned char c : buf) {
        std::snprintf(two, sizeof two, "%02x", c);
        *hex += two;
    }
    return true;
}
