// The body of an upload. cpp-httplib (as Debian builds it) hands a body
// over 4 KB per system call, which makes a 32 MB upload take longer than
// writing it to the volume; so after what httplib has already buffered,
// the rest is read straight from the connection's socket in large pieces.
#pragma once

#include <cstdint>
#include <string>

namespace httplib {
struct Request;
class ContentReader;
}

// Read the length bytes of req's body into *data: false when the client
// stopped sending, or sent more than length bytes in its first piece.
bool read_upload_body(const httplib::Request& req, const httplib::ContentReader& reader, std::uint64_t length,
                      std::string* data);
