// A scratch volume for unit tests: an image file under the test's temporary
// folder, opened as a Volume, with the console's error stream captured.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fs.h"

class ScratchVolume {
public:
    // An image of file_blocks blocks whose block 1 says total blocks; all
    // FAT entries free, FAT blocks signed.
    explicit ScratchVolume(std::uint32_t total, std::uint32_t file_blocks = 0);
    ~ScratchVolume();
    ScratchVolume(const ScratchVolume&) = delete;
    ScratchVolume& operator=(const ScratchVolume&) = delete;

    // Set a FAT entry directly in the image (before open()).
    void put_fat(std::uint64_t block, std::uint32_t value);
    // Mark blocks in use (FAT_EOF) in the image.
    void use(std::initializer_list<std::uint64_t> blocks);
    void set_free_counter(std::uint32_t n);
    void write_block(std::uint64_t n, const std::uint8_t* data);
    std::vector<std::uint8_t> read_block(std::uint64_t n) const;
    std::uint32_t fat_on_disk(std::uint64_t block) const;

    // Open the image as fs.vol (read-only when asked) and load the root.
    void open(bool read_only = false);
    // Everything printed on the error stream since the last call.
    std::string errors();

    const std::string& path() const { return path_; }
    Fs fs;

private:
    std::string dir_;
    std::string path_;
    char* err_buf_ = nullptr;
    std::size_t err_len_ = 0;
    std::size_t err_seen_ = 0;
    std::FILE* err_ = nullptr;
};

// Blocks of the chain that starts at first, following the volume's FAT
// through the cache (at most limit blocks).
std::vector<std::uint64_t> chain_of(Volume& v, std::uint64_t first, std::size_t limit = 100);
