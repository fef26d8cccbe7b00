// Fuzz driver for zvkfsck: one input is a small volume image, repaired with
// -y on a temporary file. Whatever the damage, a repair that reports
// success must leave a volume that a second check finds clean, and a check
// that finds nothing must not have written a byte.
//
// Input layout (as for the zvkfm driver, without a script):
//   bytes 0-1  BE16: image length in blocks (taken modulo 400)
//   bytes 2-3  BE16: n, the number of image bytes that follow
//   n bytes    the start of the image; the rest of the image is zero
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "console.h"
#include "fuzz_image.h"
#include "fsck.h"

namespace {

std::string image_path;
std::FILE* sink = nullptr;

void setup() {
    const char* tmp = std::getenv("ZVK_FUZZ_DIR");
    if (!tmp || !*tmp) tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = std::string(tmp) + "/zvkfsckfuzz.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    image_path = std::string(buf.data()) + "/vol.img";
    sink = std::fopen("/dev/null", "w");
}

std::vector<std::uint8_t> read_image() {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(image_path.c_str(), "rb");
    if (!f) std::abort();
    std::uint8_t buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (image_path.empty()) setup();
    if (!write_fuzz_image(image_path, data, size)) return 0;

    console.out = sink;
    console.err = sink;
    const std::vector<std::uint8_t> before = read_image();
    const int first = fsck_run(image_path.c_str(), RepairMode::all, false);
    if (first == FSCK_OK && read_image() != before) std::abort();  // nothing found, yet written
    if (first == FSCK_REPAIRED && fsck_run(image_path.c_str(), RepairMode::check_only, false) != FSCK_OK)
        std::abort();  // repaired, yet a second check finds more
    console_reset();
    return 0;
}
