// wav2zvk: start-up, the pass over the arguments, and the conversion of one
// WAVE file into an instrument file.
//
// An input whose samples are all present in a regular file is converted
// straight into its output, chunk by chunk. Any other input is read
// completely and closed before its output is opened, so an input that fails
// anywhere before the write creates no output file and leaves an existing
// file of the output name untouched.
#include "wav2zvk.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include "messages.h"

namespace {

constexpr mode_t INS_FILE_MODE = 0600;
constexpr std::size_t HUGE_PAGE = 2 * 1024 * 1024;

// A file descriptor that is closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // Close now and report whether the close succeeded.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Read until count bytes arrived, end of file or an error; returns the
// number of bytes read, or -1 on an error.
ssize_t read_full(int fd, unsigned char* buf, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        ssize_t n = ::read(fd, buf + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Write all count bytes unless an error stops it; true when all went out.
bool write_full(int fd, const unsigned char* buf, std::size_t count) {
    std::size_t put = 0;
    while (put < count) {
        ssize_t n = ::write(fd, buf + put, count - put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        put += static_cast<std::size_t>(n);
    }
    return true;
}

// Write all count bytes at offset off; true when all went out.
bool pwrite_full(int fd, const unsigned char* buf, std::size_t count, off_t off) {
    std::size_t put = 0;
    while (put < count) {
        ssize_t n = ::pwrite(fd, buf + put, count - put, off + static_cast<off_t>(put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        put += static_cast<std::size_t>(n);
    }
    return true;
}

bool magic_is(const unsigned char* hdr, std::size_t offset, const char* magic) {
    return std::memcmp(hdr + offset, magic, std::strlen(magic)) == 0;
}

// Read the sample data that fills the sample area, chunk by chunk, and
// convert it into the area.
int read_samples(int in_fd, const WavInfo& wav, const InsSizes& sizes, unsigned char* area) {
    if (sizes.input_bytes == 0)
        return CONV_OK;
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[CONV_READ_CHUNK]);
    if (!chunk) {
        msg_print("error: can't allocate memory.\n");
        return CONV_ERR_MEMORY;
    }
    std::size_t done = 0;
    while (done < sizes.input_bytes) {
        std::size_t want = sizes.input_bytes - done;
        if (want > CONV_READ_CHUNK)
            want = CONV_READ_CHUNK;
        if (read_full(in_fd, chunk.get(), want) != static_cast<ssize_t>(want)) {
            msg_print("error: can't read file.\n");
            msg_print("error: can't read sample data.\n");
            return CONV_ERR_READ;
        }
        ins_convert_run(chunk.get(), want, done, wav, sizes.sample_bytes, area);
        done += want;
    }
    return CONV_OK;
}

// Write the finished image to out_name.
int save_image(const char* out_name, const InsImage& image) {
    Fd out(::open(out_name, O_WRONLY | O_CREAT | O_TRUNC, INS_FILE_MODE));
    if (!out.ok()) {
        msg_print("error: can't open file `%s'.\n", out_name);
        return CONV_ERR_OPEN;
    }
    bool saved = write_full(out.get(), image.data.get(), image.len);
    // A failing close can be the first report of a failed write.
    if (!out.close())
        saved = false;
    if (!saved) {
        msg_print("error: not all data saved.\n");
        return CONV_ERR_WRITE;
    }
    return CONV_OK;
}

}  // namespace

void InsBufferFree::operator()(unsigned char* p) const {
    std::free(p);
}

// A buffer of megabytes is aligned to 2 MB and, where the host has them,
// its whole 2 MB stretches are marked for huge pages, so that filling it
// takes a few page faults rather than one for every 4 KB. The part behind
// the last whole stretch keeps small pages, so no more memory is touched
// than the buffer holds.
InsBuffer ins_buffer_alloc(std::size_t len) {
    if (len < HUGE_PAGE)
        return InsBuffer(static_cast<unsigned char*>(std::malloc(len)));
    void* p = nullptr;
    if (::posix_memalign(&p, HUGE_PAGE, len) != 0)
        return InsBuffer();
#ifdef MADV_HUGEPAGE
    ::madvise(p, len & ~(HUGE_PAGE - 1), MADV_HUGEPAGE);
#endif
    return InsBuffer(static_cast<unsigned char*>(p));
}

int wav_check_header(const unsigned char* hdr, WavInfo& wav) {
    if (!magic_is(hdr, wavhdr::RIFF_MAGIC, "RIFF") || !magic_is(hdr, wavhdr::WAVE_MAGIC, "WAVEfmt ") ||
        !magic_is(hdr, wavhdr::DATA_MAGIC, "data")) {
        msg_print("error: not a RIFF WAVE file.\n");
        return CONV_ERR_FORMAT;
    }
    wav.channels = le16(hdr + wavhdr::CHANNELS);
    wav.sample_rate = le32(hdr + wavhdr::SAMPLE_RATE);
    wav.bits = le16(hdr + wavhdr::BITS);
    wav.data_len = le32(hdr + wavhdr::DATA_LEN);
    msg_print("         sample rate=%lu Hz\n", static_cast<unsigned long>(wav.sample_rate));
    msg_print("         channel nr.=%u\n", static_cast<unsigned>(wav.channels));
    if (wav.channels != 1 && wav.channels != 2) {
        msg_print("error: unsupported channel number.\n");
        return CONV_ERR_FORMAT;
    }
    msg_print("         sample size=%lu Bytes\n", static_cast<unsigned long>(wav.data_len));
    msg_print("         Bit nr.=%u\n", static_cast<unsigned>(wav.bits));
    if (wav.bits != 8 && wav.bits != 16) {
        msg_print("error: unsupported Bit number.\n");
        return CONV_ERR_FORMAT;
    }
    return CONV_OK;
}

namespace {

// Read and check the WAVE header and work out the sizes it gives.
int conv_header(int in_fd, WavInfo& wav, InsSizes& sizes) {
    unsigned char hdr[WAV_HEADER_SIZE];
    if (read_full(in_fd, hdr, WAV_HEADER_SIZE) != static_cast<ssize_t>(WAV_HEADER_SIZE)) {
        msg_print("error: can't read RIFF header.\n");
        return CONV_ERR_HEADER;
    }
    int rc = wav_check_header(hdr, wav);
    if (rc != CONV_OK)
        return rc;
    sizes = ins_sizes(wav.data_len, wav.bits);
    if (sizes.file_len > INS_MAX_FILE_LEN) {
        msg_print("error: sample data too long.\n");
        return CONV_ERR_FORMAT;
    }
    return CONV_OK;
}

// Assemble the instrument image in memory, reading the samples.
int conv_image(int in_fd, const WavInfo& wav, const InsSizes& sizes, const unsigned char* tmpl,
               const char* out_name, InsImage& image) {
    InsBuffer data = ins_buffer_alloc(sizes.file_len);
    if (!data) {
        msg_print("error: can't allocate memory.\n");
        return CONV_ERR_MEMORY;
    }
    int rc = read_samples(in_fd, wav, sizes, data.get() + TEMPLATE_SIZE);
    if (rc != CONV_OK)
        return rc;
    ins_fill_header(data.get(), tmpl, sizes, out_name);
    image.data = std::move(data);
    image.len = sizes.file_len;
    return CONV_OK;
}

// True when the rest of the input is a regular file holding every sample
// byte, so reading them cannot come up short.
bool samples_present(int in_fd, const InsSizes& sizes) {
    struct stat st;
    if (::fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    off_t pos = ::lseek(in_fd, 0, SEEK_CUR);
    return pos >= 0 && st.st_size >= pos && static_cast<std::uint64_t>(st.st_size - pos) >= sizes.input_bytes;
}

// Input bytes converted per step of a stream: a multiple of every frame
// size, small enough for both buffers to stay in the CPU cache.
constexpr std::size_t STREAM_CHUNK = 128 * 1024;

// Convert the samples chunk by chunk into the open output: the template
// part, each chunk's samples (a stereo chunk's two channels into their two
// halves of the sample area), then the trailer. True when all was written.
bool stream_samples(int in_fd, int out_fd, const WavInfo& wav, const InsSizes& sizes, const unsigned char* head,
                    unsigned char* in, unsigned char* out, int& rc) {
    if (!pwrite_full(out_fd, head, TEMPLATE_SIZE, 0))
        return false;
    const std::size_t widen = wav.bits == 8 ? 2 : 1;
    const off_t left = TEMPLATE_SIZE;
    const off_t right = static_cast<off_t>(TEMPLATE_SIZE + sizes.sample_bytes / 2);
    for (std::size_t done = 0; done < sizes.input_bytes;) {
        const std::size_t want = std::min<std::size_t>(STREAM_CHUNK, sizes.input_bytes - done);
        if (read_full(in_fd, in, want) != static_cast<ssize_t>(want)) {
            msg_print("error: can't read file.\n");
            msg_print("error: can't read sample data.\n");
            rc = CONV_ERR_READ;
            return true;
        }
        const std::size_t o = want * widen;
        ins_convert_run(in, want, 0, wav, o, out);
        const off_t at = static_cast<off_t>(done * widen);
        bool ok = wav.channels == 1 ? pwrite_full(out_fd, out, o, left + at)
                                    : pwrite_full(out_fd, out, o / 2, left + at / 2) &&
                                          pwrite_full(out_fd, out + o / 2, o / 2, right + at / 2);
        if (!ok)
            return false;
        done += want;
    }
    unsigned char tail[INS_BLOCK_SIZE];
    ins_fill_trailer(tail, sizes);
    return pwrite_full(out_fd, tail, sizes.tail_len, static_cast<off_t>(TEMPLATE_SIZE + sizes.sample_bytes));
}

// Convert straight from the input into the output file, with no image of
// the whole file in memory.
int conv_stream(int in_fd, const WavInfo& wav, const InsSizes& sizes, const unsigned char* tmpl,
                const char* out_name) {
    std::unique_ptr<unsigned char[]> in(new (std::nothrow) unsigned char[STREAM_CHUNK]);
    std::unique_ptr<unsigned char[]> out(new (std::nothrow) unsigned char[2 * STREAM_CHUNK]);
    if (!in || !out) {
        msg_print("error: can't allocate memory.\n");
        return CONV_ERR_MEMORY;
    }
    unsigned char head[TEMPLATE_SIZE];
    ins_fill_template(head, tmpl, sizes, out_name);
    Fd out_fd(::open(out_name, O_WRONLY | O_CREAT | O_TRUNC, INS_FILE_MODE));
    if (!out_fd.ok()) {
        msg_print("error: can't open file `%s'.\n", out_name);
        return CONV_ERR_OPEN;
    }
    int rc = CONV_OK;
    bool saved = stream_samples(in_fd, out_fd.get(), wav, sizes, head, in.get(), out.get(), rc);
    // A failing close can be the first report of a failed write.
    if (!out_fd.close())
        saved = false;
    if (rc != CONV_OK)
        return rc;
    if (!saved) {
        msg_print("error: not all data saved.\n");
        return CONV_ERR_WRITE;
    }
    return CONV_OK;
}

}  // namespace

int conv_build(int in_fd, const unsigned char* tmpl, const char* out_name, InsImage& image) {
    WavInfo wav{};
    InsSizes sizes{};
    int rc = conv_header(in_fd, wav, sizes);
    if (rc != CONV_OK)
        return rc;
    return conv_image(in_fd, wav, sizes, tmpl, out_name, image);
}

int conv_file(const char* path, const unsigned char* tmpl) {
    msg_print("convert: wav-file=`%s'\n", path);
    char out_name[INS_PATH_BUF];
    int rc = ins_output_name(path, out_name);
    if (rc == INS_NAME_TOO_LONG) {
        msg_print("error: file name too long.\n");
        return CONV_ERR_NAME;
    }
    if (rc == INS_NAME_NO_WAV) {
        msg_print("error: can't derive output name from `%s'.\n", path);
        return CONV_ERR_NAME;
    }
    msg_print("         to ins-file=`%s'\n", out_name);

    InsImage image;
    {
        Fd in(::open(path, O_RDONLY));
        if (!in.ok()) {
            msg_print("error: can't open file `%s'.\n", path);
            return CONV_ERR_OPEN;
        }
        WavInfo wav{};
        InsSizes sizes{};
        rc = conv_header(in.get(), wav, sizes);
        if (rc != CONV_OK)
            return rc;
        if (samples_present(in.get(), sizes))
            return conv_stream(in.get(), wav, sizes, tmpl, out_name);
        rc = conv_image(in.get(), wav, sizes, tmpl, out_name, image);
    }
    if (rc != CONV_OK)
        return rc;
    return save_image(out_name, image);
}

int tmpl_read(const char* path, std::unique_ptr<unsigned char[]>& image, int* err) {
    Fd fd(::open(path, O_RDONLY));
    if (!fd.ok()) {
        if (err != nullptr)
            *err = errno;
        return TMPL_ERR_OPEN;
    }
    image.reset(new (std::nothrow) unsigned char[TEMPLATE_SIZE]);
    if (!image)
        return TMPL_ERR_MEMORY;
    ssize_t got = read_full(fd.get(), image.get(), TEMPLATE_SIZE);
    if (got != static_cast<ssize_t>(TEMPLATE_SIZE)) {
        if (err != nullptr)
            *err = got < 0 ? errno : 0;
        image.reset();
        return got < 0 ? TMPL_ERR_READ : TMPL_ERR_SHORT;
    }
    return CONV_OK;
}

int tmpl_load(const char* path, std::unique_ptr<unsigned char[]>& image) {
    int rc = tmpl_read(path, image, nullptr);
    if (rc == TMPL_ERR_OPEN)
        msg_print("error: can't open file `%s'.\n", path);
    else if (rc == TMPL_ERR_MEMORY)
        msg_print("error: can't allocate memory.\n");
    else if (rc != CONV_OK)
        msg_print("error: can't read data from file `%s'.\n", path);
    return rc == CONV_OK ? CONV_OK : CONV_ERR_TEMPLATE;
}

int wav2zvk_main(int argc, char** argv, const char* template_path) {
    if (argc < 2) {
        msg_print("usage: %s <wav-file(s)>\n", argc > 0 && argv[0] != nullptr ? argv[0] : "wav2zvk");
        return -1;
    }
    msg_print("\n--- wav2zvk Version 0.21: WAVE to Zorvek instrument converter ---\n\n");
    std::unique_ptr<unsigned char[]> tmpl;
    if (tmpl_load(template_path, tmpl) != CONV_OK)
        return -1;
    for (int i = 1; i < argc; ++i)
        conv_file(argv[i], tmpl.get());
    return 0;
}
