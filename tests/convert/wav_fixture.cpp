// Helpers for the converter tests.
#include "wav_fixture.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "messages.h"

namespace {

void put_le(Bytes& b, std::uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void put_text(Bytes& b, const char* s) {
    b.insert(b.end(), s, s + std::strlen(s));
}

}  // namespace

Bytes test_template(std::size_t size) {
    Bytes t(size);
    for (std::size_t i = 0; i < size; ++i)
        t[i] = static_cast<unsigned char>(0xA5 ^ (i * 3 + (i >> 8)));
    return t;
}

Bytes make_wav(unsigned channels, unsigned bits, std::uint32_t data_len, const Bytes& data,
               std::uint32_t rate, unsigned format) {
    Bytes b;
    put_text(b, "RIFF");
    put_le(b, 36 + data_len, 4);
    put_text(b, "WAVEfmt ");
    put_le(b, 16, 4);
    put_le(b, format, 2);
    put_le(b, channels, 2);
    put_le(b, rate, 4);
    put_le(b, rate * channels * bits / 8, 4);
    put_le(b, channels * bits / 8, 2);
    put_le(b, bits, 2);
    put_text(b, "data");
    put_le(b, data_len, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes pattern_bytes(std::size_t count, unsigned seed) {
    Bytes b(count);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<unsigned char>(x >> 16);
    }
    return b;
}

bool write_file(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool read_file(const std::string& path, Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    bytes.clear();
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void install_test_template(const std::string& path) {
    Bytes have;
    if (read_file(path, have) && have == test_template())
        return;
    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    if (write_file(tmp, test_template()))
        std::rename(tmp.c_str(), path.c_str());
}

TempDir::TempDir() {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr || ::chdir(path().c_str()) != 0)
        std::abort();
    old_cwd_ = cwd;
}

TempDir::~TempDir() {
    if (::chdir(old_cwd_.c_str()) != 0)
        std::abort();
}

MsgCapture::MsgCapture() : stream_(::open_memstream(&buf_, &len_)) {
    msg_set_stream(stream_);
}

MsgCapture::~MsgCapture() {
    msg_set_stream(nullptr);
    std::fclose(stream_);
    std::free(buf_);
}

std::string MsgCapture::text() {
    std::fflush(stream_);
    return std::string(buf_, len_);
}
