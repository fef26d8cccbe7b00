// Helpers for the converter tests: synthetic template and WAVE files, a
// temporary working folder, and capture of the converter's messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runner.h"

using Bytes = std::vector<unsigned char>;

// The synthetic 2832-byte template (or one of another size): a fixed
// pattern, so that every kept or patched byte can be told apart.
Bytes test_template(std::size_t size = 2832);

// A canonical 44-byte-header WAVE file; `data` follows the header as is,
// whatever data_len says.
Bytes make_wav(unsigned channels, unsigned bits, std::uint32_t data_len, const Bytes& data,
               std::uint32_t rate = 44100, unsigned format = 1);

// Deterministic filler bytes.
Bytes pattern_bytes(std::size_t count, unsigned seed = 1);

bool write_file(const std::string& path, const Bytes& bytes);
bool read_file(const std::string& path, Bytes& bytes);
bool file_exists(const std::string& path);

// Write the test template to path unless it already holds it; other test
// processes may do the same at the same time, so it goes in by rename.
void install_test_template(const std::string& path);

// A fresh temporary folder, made the working folder for the object's
// lifetime and removed with all its contents.
class TempDir : public zvktest::TempDir {
public:
    TempDir();
    ~TempDir();

private:
    std::string old_cwd_;
};

// Collects everything the converter prints while the object lives.
class MsgCapture {
public:
    MsgCapture();
    ~MsgCapture();
    MsgCapture(const MsgCapture&) = delete;
    MsgCapture& operator=(const MsgCapture&) = delete;
    std::string text();

private:
    char* buf_ = nullptr;
    std::size_t len_ = 0;
    std::FILE* stream_ = nullptr;
};
