// The volume part of a fuzz input, shared by the fuzz drivers:
//   bytes 0-1  BE16: image length in blocks (taken modulo 400)
//   bytes 2-3  BE16: n, the number of image bytes that follow
//   n bytes    the start of the image; the rest of the image is zero
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// Write the image of the input to path and step data and size past it:
// false when the input is too short to hold an image.
inline bool write_fuzz_image(const std::string& path, const std::uint8_t*& data, std::size_t& size) {
    if (size < 4) return false;
    const std::size_t blocks = ((std::size_t{data[0]} << 8) | data[1]) % 400;
    std::size_t n = (std::size_t{data[2]} << 8) | data[3];
    data += 4;
    size -= 4;
    if (n > size) n = size;
    if (n > blocks * 512) n = blocks * 512;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) std::abort();
    if (ftruncate(fd, static_cast<off_t>(blocks * 512)) != 0 ||
        (n && ::pwrite(fd, data, n, 0) != static_cast<ssize_t>(n)))
        std::abort();
    ::close(fd);
    data += n;
    size -= n;
    return true;
}
