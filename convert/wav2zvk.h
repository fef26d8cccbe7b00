// The wav2zvk converter: turns RIFF/WAVE files into Zorvek instrument files
// built on a fixed template image.
#pragma once

#include <cstddef>
#include <memory>

#include "ins_format.h"

// Status results of the conversion steps; every failure has printed its
// own lines before it is returned.
constexpr int CONV_OK = 0;
constexpr int CONV_ERR_USAGE = -1;
constexpr int CONV_ERR_TEMPLATE = -2;
constexpr int CONV_ERR_NAME = -3;
constexpr int CONV_ERR_OPEN = -4;
constexpr int CONV_ERR_HEADER = -5;
constexpr int CONV_ERR_FORMAT = -6;
constexpr int CONV_ERR_MEMORY = -7;
constexpr int CONV_ERR_READ = -8;
constexpr int CONV_ERR_WRITE = -9;

// Sample data is read through a buffer of this size (a multiple of every
// frame size).
constexpr std::size_t CONV_READ_CHUNK = 64 * 1024;

// Releases a buffer from ins_buffer_alloc.
struct InsBufferFree {
    void operator()(unsigned char* p) const;
};
using InsBuffer = std::unique_ptr<unsigned char, InsBufferFree>;

// An instrument file assembled in memory.
struct InsImage {
    InsBuffer data;
    std::size_t len = 0;
};

// Allocate an output buffer of len bytes; empty when memory runs out.
InsBuffer ins_buffer_alloc(std::size_t len);

// The program: check the arguments, print the banner, load the template at
// template_path and convert every argument. Returns the exit status: 0, or
// -1 on a usage error or a template failure.
int wav2zvk_main(int argc, char** argv, const char* template_path);

// Read the first TEMPLATE_SIZE bytes of the template file into a new image,
// printing what fails.
int tmpl_load(const char* path, std::unique_ptr<unsigned char[]>& image);

// The same without a message, for callers that report in their own way: the
// file is opened, then the image allocated, then read. Returns CONV_OK or
// the step that failed; *err (when given) is the errno of a failed open or
// read, 0 for a file shorter than TEMPLATE_SIZE. The image is empty after a
// failure.
constexpr int TMPL_ERR_OPEN = -1;
constexpr int TMPL_ERR_MEMORY = -2;
constexpr int TMPL_ERR_READ = -3;
constexpr int TMPL_ERR_SHORT = -4;
int tmpl_read(const char* path, std::unique_ptr<unsigned char[]>& image, int* err);

// Convert one input path into the instrument file next to it.
int conv_file(const char* path, const unsigned char* tmpl);

// Read the WAVE header and samples from in_fd (positioned at the start of
// the input) and assemble the complete instrument image for out_name.
int conv_build(int in_fd, const unsigned char* tmpl, const char* out_name, InsImage& image);

// Check a 44-byte WAVE header and print its information lines.
int wav_check_header(const unsigned char* hdr, WavInfo& wav);
