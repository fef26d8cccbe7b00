// The HTTP side: the checks before routing, the routes, and the two
// listening sockets (127.0.0.1 and ::1) on one port.
#pragma once

#include <string>

#include "api.h"
#include "security.h"

namespace httplib {
class Server;
}

// Set up srv with the checks and every route.
void server_routes(httplib::Server& srv, App& app, const Gate& gate);

// The page with its anti-CSRF value filled in, and the other embedded
// files by name ("/app.js"): false when there is no such file.
bool asset_get(const std::string& path, const Gate& gate, std::string* body, std::string* type);
