// libFuzzer driver for wav2zvk: every input is one WAVE file, converted
// in-process against a fixed template image. A finished image is checked
// against the layout rules; the output name is derived from the input too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ins_format.h"
#include "messages.h"
#include "wav2zvk.h"

namespace {

unsigned char fuzz_template[TEMPLATE_SIZE];
std::FILE* input_file = nullptr;

void fuzz_setup() {
    for (std::size_t i = 0; i < TEMPLATE_SIZE; ++i)
        fuzz_template[i] = static_cast<unsigned char>(i * 7 + 1);
    input_file = std::tmpfile();
    std::FILE* quiet = std::fopen("/dev/null", "w");
    if (input_file == nullptr || quiet == nullptr)
        std::abort();
    msg_set_stream(quiet);
}

bool patched(std::size_t i) {
    if (i == 0 || i == 2 || i == 3 || i == 2544 || i == 2546 || i == 2547)
        return true;
    if (i >= inshdr::NAME && i < inshdr::NAME + 2 * INS_NAME_LEN && i % 2 == 0)
        return true;
    return i >= inshdr::ZERO_SPREAD && i <= inshdr::SPREAD_SAMPLES + 4 && i % 2 == 0;
}

// Abort unless the image keeps the template where it must and ends in a
// trailer that matches its length.
void check_image(const InsImage& image) {
    if (image.len % INS_BLOCK_SIZE != 0 || image.len < 3072 || image.len > INS_MAX_FILE_LEN)
        std::abort();
    for (std::size_t i = 0; i < TEMPLATE_SIZE; ++i)
        if (!patched(i) && image.data.get()[i] != fuzz_template[i])
            std::abort();
    const unsigned char* p = image.data.get();
    std::uint32_t sample_bytes = (std::uint32_t{p[2792]} << 16) | (p[2794] << 8) | p[2796];
    std::size_t tail = image.len - TEMPLATE_SIZE - sample_bytes;
    if (sample_bytes % 16 != 0 || tail < 16 || tail > 512 || p[TEMPLATE_SIZE + sample_bytes] != tail / 16)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (input_file == nullptr)
        fuzz_setup();
    int fd = fileno(input_file);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    InsImage image;
    if (conv_build(fd, fuzz_template, "fuzz/sample", image) == CONV_OK)
        check_image(image);

    char path[INS_PATH_BUF + 64];
    std::size_t n = size < sizeof path - 1 ? size : sizeof path - 1;
    if (n > 0)
        std::memcpy(path, data, n);
    path[n] = '\0';
    char out[INS_PATH_BUF];
    if (ins_output_name(path, out) == 0 && std::strlen(out) >= INS_PATH_BUF)
        std::abort();
    return 0;
}
