// Fuzz driver for zvkfm: one input is a small volume image and a command
// script. The shell runs the script in-process on the image, stored as a
// temporary file, with fresh state for every input.
//
// Input layout:
//   bytes 0-1  BE16: image length in blocks (taken modulo 400)
//   bytes 2-3  BE16: n, the number of image bytes that follow
//   n bytes    the start of the image (headers, root, FAT, ...); the rest
//              of the image is zero
//   the rest   the script, fed to standard input
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "console.h"
#include "fuzz_image.h"
#include "shell.h"

namespace {

std::string work_dir;
std::string image_path;
std::FILE* sink = nullptr;

void write_file(const std::string& name, std::size_t size, unsigned char fill) {
    std::vector<unsigned char> data(size, fill);
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data.data(), 1, size, f);
    std::fclose(f);
}

void setup() {
    // A memory file system when there is one: every session ends with an
    // fsync of the volume.
    const char* tmp = std::getenv("ZVK_FUZZ_DIR");
    if (!tmp || !*tmp) tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = std::string(tmp) + "/zvkfuzz.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    work_dir = buf.data();
    image_path = work_dir + "/vol.img";
    int home = ::open(".", O_RDONLY | O_DIRECTORY);
    if (home < 0 || chdir(work_dir.c_str()) != 0) std::abort();
    // Host files the scripts can put; get writes next to them.
    write_file("a", 1000, 'a');
    write_file("b", 512, 'b');
    write_file("e", 0, 0);
    write_file("os", 3000, 'o');
    // No file may grow much beyond the largest image, 400 blocks (a huge
    // TOTAL_BLK_NR would let newfs write far past its end, and writing is
    // most of what an input costs); such writes simply fail.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = 1u << 18;
    setrlimit(RLIMIT_FSIZE, &rl);
    sink = std::fopen("/dev/null", "w");
    if (fchdir(home) != 0) std::abort();
    ::close(home);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (work_dir.empty()) setup();
    if (!write_fuzz_image(image_path, data, size)) return 0;

    // Keep every host path inside the work folder.
    std::string script(reinterpret_cast<const char*>(data), size);
    for (char& c : script)
        if (c == '/') c = '_';
    std::FILE* in = fmemopen(script.data(), script.size() ? script.size() : 1, "r");
    if (!in) return 0;
    if (script.empty()) std::fgetc(in);  // an empty script is end of input at once

    console.in = in;
    console.out = sink;
    console.err = sink;
    console_signal = 0;
    char prog[] = "zvkfm";
    char* argv[] = {prog, image_path.data(), nullptr};
    // Host paths of the script are relative to the work folder; the fuzzer's
    // own paths (corpus, artifacts) to where it was started.
    int home = ::open(".", O_RDONLY | O_DIRECTORY);
    if (home < 0 || chdir(work_dir.c_str()) != 0) std::abort();
    zvkfm_main(2, argv);
    if (fchdir(home) != 0) std::abort();
    ::close(home);
    std::fclose(in);
    console_reset();
    return 0;
}
