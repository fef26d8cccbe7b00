// The bodies of an upload and of a streamed download. cpp-httplib (as
// Debian builds it) hands a body over 4 KB per system call, which makes a
// 32 MB upload take longer than writing it to the volume, and copies each
// piece of a streamed answer twice; so past what httplib has buffered, an
// upload is read straight from the connection's socket in large pieces,
// and a download's chunks are sent straight to it.
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

// The socket of the connection req came on, or -1 when it cannot be told.
int connection_socket(const httplib::Request& req);

// Send the n bytes at data as one chunk of a chunked answer on the socket
// fd (whose headers httplib has sent): false when the client is gone.
bool send_chunk(int fd, const void* data, std::size_t n);
