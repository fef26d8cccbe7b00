// The checks every request passes before routing, and the routes.
#include <httplib.h>

#include <chrono>
#include <cstring>

#include "assets.h"
#include "body.h"
#include "paths.h"
#include "server.h"

namespace {

constexpr const char* JSON_TYPE = "application/json; charset=utf-8";
// The largest body of a request other than an upload.
constexpr std::uint64_t SMALL_BODY = 64 * 1024;

// A Content-Length header as a number: 0 when absent, the largest value
// when it is not a plain decimal number (so it is refused as too large).
std::uint64_t content_length(const httplib::Request& req) {
    if (!req.has_header("Content-Length")) return 0;
    const std::string v = req.get_header_value("Content-Length");
    std::uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9' || n > (~std::uint64_t{0} - 9) / 10) return ~std::uint64_t{0};
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v.empty() ? ~std::uint64_t{0} : n;
}

void send(httplib::Response& res, const Reply& r) {
    res.status = r.status;
    if (!r.file_name.empty())
        res.set_header("Content-Disposition", "attachment; filename=\"" + r.file_name + "\"");
    if (!r.content_type.empty()) res.set_content(r.bytes, r.content_type.c_str());
    else res.set_content(json_text(r.body), JSON_TYPE);
}

void send_error(httplib::Response& res, int status, const std::string& message, const char* code) {
    send(res, reply_error(status, message, code));
}

Knock knock_of(const httplib::Request& req, const std::string& host, const std::string& origin,
               const std::string& cookie, const std::string& csrf, const std::string& site,
               const std::string& token) {
    Knock k;
    k.method = req.method;
    k.path = req.path;
    k.has_token = req.has_param("token");
    k.token = token;
    k.host = host;
    k.origin = origin;
    k.cookie = cookie;
    k.csrf = csrf;
    k.fetch_site = site;
    k.has_length = req.has_header("Content-Length");
    k.length = k.has_length ? content_length(req) : 0;
    k.chunked = req.has_header("Transfer-Encoding");
    return k;
}

// The address without its token: the raw path and what else the query held.
std::string welcome_target(const httplib::Request& req) {
    const std::size_t q = req.target.find('?');
    std::string path = req.target.substr(0, q);
    const std::string rest = q == std::string::npos ? "" : query_without_token(std::string_view(req.target).substr(q + 1));
    if (path.empty() || path[0] != '/') path = "/";
    return rest.empty() ? path : path + "?" + rest;
}

httplib::Server::HandlerResponse refuse(httplib::Response& res, int status, const std::string& text, bool close) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
    // A body that is not read must not be taken for the next request.
    if (close) res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
}

// When the request this thread serves arrived at the checks, and how long
// its body took to arrive (an upload).
thread_local std::chrono::steady_clock::time_point request_start;
thread_local double body_ms = 0;

double ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

httplib::Server::HandlerResponse gatekeeper(const Gate& base, const httplib::Request& req, httplib::Response& res) {
    request_start = std::chrono::steady_clock::now();
    body_ms = 0;
    Gate g = base;
    g.max_body = req.path == "/api/upload" ? MAX_FILE_BLOCKS * BLOCK_SIZE : SMALL_BODY;
    const std::string host = req.get_header_value("Host"), origin = req.get_header_value("Origin"),
                      cookie = req.get_header_value("Cookie"), csrf = req.get_header_value("X-Zvk-Csrf"),
                      site = req.get_header_value("Sec-Fetch-Site"), token = req.get_param_value("token");
    const bool body = req.has_header("Transfer-Encoding") || content_length(req) > 0;
    switch (screen(g, knock_of(req, host, origin, cookie, csrf, site, token))) {
    case Verdict::pass: return httplib::Server::HandlerResponse::Unhandled;
    case Verdict::bad_host: return refuse(res, 403, "This server answers only to 127.0.0.1, localhost and [::1] on its own port.", body);
    case Verdict::no_auth:
        return refuse(res, 401, "Open the address that `zvk serve' printed (with its token) to use this page.", body);
    case Verdict::cross_site: return refuse(res, 403, "Changes are taken only from the page itself.", body);
    case Verdict::length_required: return refuse(res, 411, "A request body needs a Content-Length.", true);
    case Verdict::too_large:
        return refuse(res, 413, "The request is larger than the largest file a volume can hold (65,535 blocks).", true);
    case Verdict::welcome:
        res.status = 303;
        res.set_header("Location", welcome_target(req));
        res.set_header("Set-Cookie", cookie_name(base.port) + "=" + base.token + "; Path=/; HttpOnly; SameSite=Strict");
        res.set_content("", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    }
    return refuse(res, 500, "unexpected", true);
}

// The served volume a request names (its "vol"), or null after answering.
Served* volume_of(App& app, long id, httplib::Response& res) {
    if (id < 0 || static_cast<std::size_t>(id) >= app.volumes.size()) {
        send_error(res, 404, "no such volume", "no_volume");
        return nullptr;
    }
    return app.volumes[static_cast<std::size_t>(id)].get();
}

long param_long(const httplib::Request& req, const char* name, long fallback) {
    if (!req.has_param(name)) return fallback;
    const std::string v = req.get_param_value(name);
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    return end && *end == '\0' && !v.empty() ? n : fallback;
}

// A path parameter that may be resolved, else false after answering.
bool path_param(const std::string& path, httplib::Response& res) {
    if (path_ok(path)) return true;
    send_error(res, 400, "a path with a \".\" or \"..\" component names nothing", "bad_path");
    return false;
}

// The fields of a JSON body.
struct Body {
    Json j;
    bool ok = false;
    std::string str(const char* k) const { return j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : ""; }
    long num(const char* k, long fallback = -1) const {
        return j.contains(k) && j[k].is_number_integer() ? j[k].get<long>() : fallback;
    }
};

Body body_of(const httplib::Request& req, httplib::Response& res) {
    Body b;
    b.j = Json::parse(req.body, nullptr, false);
    b.ok = b.j.is_object();
    if (!b.ok) send_error(res, 400, "the request body is not a JSON object", "bad_request");
    return b;
}

void read_routes(httplib::Server& srv, App& app, const Gate& gate) {
    srv.Get("/api/volumes", [&app](const httplib::Request&, httplib::Response& res) {
        res.set_content(json_text(api_volumes(app)), JSON_TYPE);
    });
    srv.Get("/api/list", [&app](const httplib::Request& req, httplib::Response& res) {
        Served* s = volume_of(app, param_long(req, "vol", -1), res);
        const std::string path = req.has_param("path") ? req.get_param_value("path") : "/";
        if (s && path_param(path, res)) send(res, api_list(app, *s, path));
    });
    srv.Get("/api/tree", [&app](const httplib::Request& req, httplib::Response& res) {
        if (Served* s = volume_of(app, param_long(req, "vol", -1), res)) send(res, api_tree(app, *s));
    });
    srv.Get("/api/map", [&app](const httplib::Request& req, httplib::Response& res) {
        if (Served* s = volume_of(app, param_long(req, "vol", -1), res)) send(res, api_map(app, *s));
    });
    srv.Get("/api/file", [&app](const httplib::Request& req, httplib::Response& res) {
        Served* s = volume_of(app, param_long(req, "vol", -1), res);
        const std::string path = req.get_param_value("path");
        if (s && path_param(path, res)) send(res, api_file(app, *s, path));
    });
    srv.Get(R"(/([A-Za-z0-9_.-]*))", [&gate](const httplib::Request& req, httplib::Response& res) {
        std::string body, type;
        if (!asset_get(req.path, gate, &body, &type)) {
            res.status = 404;
            res.set_content("not found\n", "text/plain");
            return;
        }
        res.set_content(body, type.c_str());
    });
}

// The archive of a folder, streamed as it is made.
void archive_route(httplib::Server& srv, App& app) {
    srv.Get("/api/archive", [&app](const httplib::Request& req, httplib::Response& res) {
        Served* s = volume_of(app, param_long(req, "vol", -1), res);
        const std::string path = req.has_param("path") ? req.get_param_value("path") : "/";
        if (!s || !path_param(path, res)) return;
        const bool zip = req.get_param_value("format") == "zip";
        Reply why;
        if (!archive_folder_exists(app, *s, path, &why)) return send(res, why);
        const std::string base = path == "/" ? s->name : path_leaf(path);
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + download_name(base) + (zip ? ".zip\"" : ".tar\""));
        // The chunks go straight to the socket when it is known.
        const int fd = connection_socket(req);
        res.set_chunked_content_provider(zip ? "application/zip" : "application/x-tar",
                                         [&app, s, path, zip, fd](std::size_t, httplib::DataSink& sink) {
            const bool ok = archive_stream(app, *s, path, zip, [&sink, fd](const void* d, std::size_t n) {
                return fd >= 0 ? send_chunk(fd, d, n) : sink.write(static_cast<const char*>(d), n);
            });
            // Unfinished, the download is cut off, so it cannot pass for whole.
            if (ok) sink.done();
            return ok;
        });
    });
}

void change_routes(httplib::Server& srv, App& app) {
    // One handler shape for the changes with a JSON body naming vol and path.
    using Change = Reply (*)(App&, Served&, const Body&, const std::string&);
    auto route = [&srv, &app](const char* pattern, Change fn) {
        srv.Post(pattern, [&app, fn](const httplib::Request& req, httplib::Response& res) {
            const Body b = body_of(req, res);
            if (!b.ok) return;
            Served* s = volume_of(app, b.num("vol"), res);
            const std::string path = b.j.contains("path") ? b.str("path") : "/";
            if (s && path_param(path, res)) send(res, fn(app, *s, b, path));
        });
    };
    route("/api/mkdir", [](App& a, Served& s, const Body& b, const std::string& p) {
        return b.num("parents", 0) ? api_make_path(a, s, path_join(p, b.str("name"))) : api_mkdir(a, s, p, b.str("name"));
    });
    route("/api/rename", [](App& a, Served& s, const Body& b, const std::string& p) { return api_rename(a, s, p, b.str("name")); });
    route("/api/retype", [](App& a, Served& s, const Body& b, const std::string& p) {
        return api_retype(a, s, p, static_cast<int>(b.num("type")));
    });
    route("/api/delete", [](App& a, Served& s, const Body&, const std::string& p) { return api_remove(a, s, p); });
    route("/api/link", [](App& a, Served& s, const Body& b, const std::string& p) {
        const std::string to = b.str("folder");
        if (!path_ok(to)) return reply_error(400, "a path with a \".\" or \"..\" component names nothing", "bad_path");
        return api_link(a, s, p, to.empty() ? path_parent(p) : to, b.str("name"));
    });
    route("/api/move", [](App& a, Served& s, const Body& b, const std::string& p) {
        const std::string to = b.str("folder");
        if (!path_ok(to) || to.empty()) return reply_error(400, "the folder to move into is missing", "bad_path");
        return api_move(a, s, p, to);
    });
    route("/api/label", [](App& a, Served& s, const Body& b, const std::string&) { return api_label(a, s, b.str("label")); });
    route("/api/check", [](App& a, Served& s, const Body&, const std::string&) { return api_check(a, s, false); });
    route("/api/repair", [](App& a, Served& s, const Body&, const std::string&) { return api_check(a, s, true); });
}

// An upload: the body is read only after the checks that need nothing of it.
void upload_route(httplib::Server& srv, App& app) {
    srv.Put("/api/upload", [&app](const httplib::Request& req, httplib::Response& res,
                                  const httplib::ContentReader& reader) {
        Served* s = volume_of(app, param_long(req, "vol", -1), res);
        Upload u;
        u.folder = req.has_param("folder") ? req.get_param_value("folder") : "/";
        u.name = req.get_param_value("name");
        u.convert = req.get_param_value("convert") == "1";
        u.replace = req.get_param_value("replace") == "1";
        if (!s || !path_param(u.folder, res) || !path_param(u.name, res)) return res.set_header("Connection", "close");
        const std::uint64_t length = content_length(req);
        if (Reply no = upload_precheck(app, *s, length, u.convert); no.status != 200) {
            res.set_header("Connection", "close");
            return send(res, no);
        }
        if (req.has_header("Content-Encoding")) {
            res.set_header("Connection", "close");
            return send_error(res, 415, "uploads are sent as they are, without a Content-Encoding", "encoding");
        }
        const auto body_start = std::chrono::steady_clock::now();
        std::string data;
        const bool whole = length == 0 || read_upload_body(req, reader, length, &data);
        body_ms = ms_since(body_start);
        if (!whole) {
            res.set_header("Connection", "close");
            return send_error(res, 400, u.name + ": the upload was cut off", "cut");
        }
        send(res, api_upload(app, *s, u, data));
    });
}

}  // namespace

bool asset_get(const std::string& path, const Gate& gate, std::string* body, std::string* type) {
    const std::string name = path == "/" ? "index.html" : path.substr(1);
    for (const EmbeddedAsset& a : embedded_assets) {
        if (name != a.name) continue;
        body->assign(reinterpret_cast<const char*>(a.data), a.size);
        const std::size_t dot = name.rfind('.');
        const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
        *type = ext == ".html" ? "text/html; charset=utf-8"
              : ext == ".js"   ? "text/javascript; charset=utf-8"
              : ext == ".css"  ? "text/css; charset=utf-8"
              : ext == ".svg"  ? "image/svg+xml"
                               : "application/octet-stream";
        if (ext == ".html") {
            const std::size_t at = body->find("@CSRF@");
            if (at != std::string::npos) body->replace(at, 6, gate.csrf);
        }
        return true;
    }
    return false;
}

void server_routes(httplib::Server& srv, App& app, const Gate& gate) {
    srv.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                             {"X-Content-Type-Options", "nosniff"},
                             {"X-Frame-Options", "DENY"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Cache-Control", "no-store"}});
    srv.set_pre_routing_handler([gate](const httplib::Request& req, httplib::Response& res) {
        return gatekeeper(gate, req, res);
    });
    // A client that asks before it sends a body hears the refusal instead
    // of "100 Continue", so the body is never sent.
    srv.set_expect_100_continue_handler([gate, &app](const httplib::Request& req, httplib::Response& res) {
        if (gatekeeper(gate, req, res) == httplib::Server::HandlerResponse::Handled) return res.status;
        if (req.path != "/api/upload") return 100;
        Served* s = volume_of(app, param_long(req, "vol", -1), res);
        if (!s) return res.status;
        const Reply no = upload_precheck(app, *s, content_length(req), req.get_param_value("convert") == "1");
        if (no.status == 200) return 100;
        res.set_header("Connection", "close");
        send(res, no);
        return no.status;
    });
    // The server's own time for a request, from the checks to the answer
    // (a streamed download: until it starts), for the benchmarks.
    srv.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        std::string timing = "app;dur=" + std::to_string(ms_since(request_start));
        if (body_ms > 0) timing += ", body;dur=" + std::to_string(body_ms);
        res.set_header("Server-Timing", timing);
    });
    srv.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        send_error(res, 500, "the server failed on this request", "internal");
    });
    read_routes(srv, app, gate);
    archive_route(srv, app);
    change_routes(srv, app);
    upload_route(srv, app);
}
