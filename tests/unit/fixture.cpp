#include "fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "fat.h"
#include "path.h"

ScratchVolume::ScratchVolume(std::uint32_t total, std::uint32_t file_blocks) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zvkunit.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    dir_ = buf.data();
    path_ = dir_ + "/vol.img";
    if (file_blocks == 0) file_blocks = total;
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, off_t{file_blocks} * 512) != 0) std::abort();
    ::close(fd);

    std::uint8_t b[512] = {};
    be32_put(b + devid::TOTAL_BLK_NR, total);
    write_block(1, b);
    std::uint8_t os[512] = {};
    write_block(2, os);
    std::uint8_t root[512] = {};
    write_block(3, root);
    root[510] = 'D';
    root[511] = 'R';
    write_block(4, root);
    if (total > 0) {
        std::uint8_t fat[512] = {};
        fat[510] = 'F';
        fat[511] = 'B';
        for (std::uint64_t k = 0; k <= (total - 1) / 170 && k + 5 < file_blocks; ++k) write_block(k + 5, fat);
        set_free_counter(static_cast<std::uint32_t>(total - data_start(total)));
    }

    err_ = open_memstream(&err_buf_, &err_len_);
    console.err = err_;
    console.out = err_;
}

ScratchVolume::~ScratchVolume() {
    console_reset();
    if (err_) std::fclose(err_);
    std::free(err_buf_);
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
}

void ScratchVolume::write_block(std::uint64_t n, const std::uint8_t* data) {
    int fd = ::open(path_.c_str(), O_RDWR);
    if (fd < 0 || ::pwrite(fd, data, 512, static_cast<off_t>(n * 512)) != 512) std::abort();
    ::close(fd);
}

std::vector<std::uint8_t> ScratchVolume::read_block(std::uint64_t n) const {
    std::vector<std::uint8_t> b(512);
    int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0 || ::pread(fd, b.data(), 512, static_cast<off_t>(n * 512)) != 512) std::abort();
    ::close(fd);
    return b;
}

void ScratchVolume::put_fat(std::uint64_t block, std::uint32_t value) {
    auto b = read_block(block / 170 + 5);
    be24_put(b.data() + (block % 170) * 3, value);
    write_block(block / 170 + 5, b.data());
}

void ScratchVolume::use(std::initializer_list<std::uint64_t> blocks) {
    for (auto b : blocks) put_fat(b, FAT_EOF);
}

void ScratchVolume::set_free_counter(std::uint32_t n) {
    auto b = read_block(2);
    be32_put(b.data(), n);
    write_block(2, b.data());
}

std::uint32_t ScratchVolume::fat_on_disk(std::uint64_t block) const {
    auto b = read_block(block / 170 + 5);
    return be24_get(b.data() + (block % 170) * 3);
}

void ScratchVolume::open(bool read_only) {
    if (read_only) ::chmod(path_.c_str(), 0444);
    if (read_only && ::geteuid() == 0) {
        // Root can write any file; open it read-only by hand instead.
        fs.vol.fd = ::open(path_.c_str(), O_RDONLY);
        fs.vol.read_only = true;
        fat_cache_reset(fs.vol);
        ASSERT_EQ(headers_read(fs.vol), 0);
    } else {
        ASSERT_EQ(volume_open(fs.vol, path_.c_str()), 0);
    }
    if (total_blocks(fs.vol) > 5) dir_reset_root(fs);
    errors();
}

std::string ScratchVolume::errors() {
    std::fflush(err_);
    std::string s(err_buf_ + err_seen_, err_len_ - err_seen_);
    err_seen_ = err_len_;
    return s;
}

std::vector<std::uint64_t> chain_of(Volume& v, std::uint64_t first, std::size_t limit) {
    std::vector<std::uint64_t> out;
    std::uint64_t b = first;
    while (out.size() < limit) {
        out.push_back(b);
        std::int64_t e = fat_get(v, b);
        if (e == FAT_EOF || e < 3) break;
        b = static_cast<std::uint64_t>(e);
    }
    return out;
}
