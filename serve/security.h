// The checks every request passes before it is routed: the Host header,
// the token or its cookie, and for a change the anti-CSRF header and the
// Origin. They see only the request's method, target and headers, so they
// are tested without a server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What the server knows about itself for the checks.
struct Gate {
    int port = 0;
    std::string token;        // from the address printed at start
    std::string csrf;         // the value the page sends in X-Zvk-Csrf
    std::uint64_t max_body = 0;  // largest body of any request
};

// The parts of a request the checks read.
struct Knock {
    std::string_view method;
    std::string_view path;    // decoded path, without the query
    std::string_view token;   // the token query parameter, if any
    bool has_token = false;
    std::string_view host;
    std::string_view origin;
    std::string_view cookie;  // the whole Cookie header
    std::string_view csrf;    // X-Zvk-Csrf
    std::string_view fetch_site;  // Sec-Fetch-Site
    bool has_length = false;  // Content-Length given
    std::uint64_t length = 0;
    bool chunked = false;     // Transfer-Encoding given
};

enum class Verdict {
    pass,
    bad_host,       // 403: not 127.0.0.1, localhost or [::1] with our port
    no_auth,        // 401: neither the cookie nor the token
    welcome,        // 303: the right token; set the cookie, drop the token
    cross_site,     // 403: a change without the page's header, or from another origin
    length_required,// 411: a body without Content-Length
    too_large,      // 413: a body larger than any request may be
};

// The cookie that carries the token; named after the port, since cookies
// are shared by every port of a host.
std::string cookie_name(int port);

// The verdict on a request.
Verdict screen(const Gate& g, const Knock& k);

// Whether the method changes anything (so needs the anti-CSRF checks).
bool is_change(std::string_view method);

// Whether host is one of our three names with our port.
bool host_allowed(std::string_view host, int port);
// Whether an Origin header (empty: none) names this server.
bool origin_allowed(std::string_view origin, int port);
// The value of cookie name in a Cookie header, or "".
std::string_view cookie_get(std::string_view header, std::string_view name);
// Equality that takes as long whatever the first difference.
bool secret_equal(std::string_view a, std::string_view b);

// The query string without its token parameters (for the redirect).
std::string query_without_token(std::string_view query);

// A random secret of bytes bytes from the system, as hex: false when the
// system gave none.
bool random_secret(std::size_t bytes, std::string* hex);
