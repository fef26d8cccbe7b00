// FAT read-ahead of the free count and the allocator, and the block
// streams between chains and host files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <tuple>
#include <unistd.h>

#include "fat.h"
#include "fixture.h"
#include "shell.h"

namespace {

// 301 FAT blocks, the last one partly used: more than two read-ahead runs.
constexpr std::uint32_t kTotal = 170 * 300 + 37;

// A volume with a fixed scatter of used blocks, including the first and the
// last data blocks; the FAT is written a block at a time.
void scatter(ScratchVolume& sv) {
    std::vector<std::uint8_t> fat(static_cast<std::size_t>(data_start(kTotal) - 5) * 512, 0);
    std::mt19937 rng(5);
    // Any one of an entry's three bytes makes it used.
    auto use = [&fat, &rng](std::uint64_t b) { fat[(b / 170) * 512 + (b % 170) * 3 + rng() % 3] = 1; };
    for (int i = 0; i < 2000; ++i) use(data_start(kTotal) + rng() % (kTotal - data_start(kTotal)));
    use(data_start(kTotal));
    use(kTotal - 1);
    for (std::size_t k = 0; k < fat.size() / 512; ++k) {
        fat[k * 512 + 510] = 'F';
        fat[k * 512 + 511] = 'B';
        sv.write_block(k + 5, &fat[k * 512]);
    }
}

// What a scan sees and leaves behind.
struct Seen {
    std::uint64_t free;
    bool complete;
    std::string errors;
    int counter;
    std::array<std::uint64_t, FAT_CACHE_SLOTS> slots;
    std::uint64_t written;
    bool operator==(const Seen&) const = default;
};

// The free count on a scattered volume (read-only, or with a dirty slot
// ahead of the scan after `steer` lookups; or cut to image_bytes when that
// is given), by fat_count_free or by looking every entry up on its own.
Seen scan(bool read_only, off_t image_bytes, bool entry_by_entry, int steer = 0) {
    ScratchVolume sv(kTotal);
    scatter(sv);
    if (image_bytes > 0 && ::truncate(sv.path().c_str(), image_bytes) != 0) ADD_FAILURE();
    sv.open(read_only);
    Volume& v = sv.fs.vol;
    // Written back during the scan, after the bytes ahead of it were read:
    // the count must see the new entry.
    for (int i = 0; i < steer; ++i) fat_get(v, 120 * 170);
    if (!read_only && image_bytes == 0 && fat_set(v, 20 * 170 + 3, FAT_EOF) != 0) ADD_FAILURE();
    std::uint64_t n = 0;
    bool complete = true;
    if (entry_by_entry) {
        for (std::uint64_t b = data_start(kTotal); b < kTotal; ++b) {
            std::int64_t e = fat_get(v, b);
            if (e < 0) {
                complete = false;
                break;
            }
            n += e == FAT_FREE;
        }
    } else {
        n = fat_count_free(v, &complete);
    }
    return {n, complete, sv.errors(), v.fat.victim_counter, v.fat.fat_block, v.blocks_written};
}

TEST(ReadAhead, FreeCountLeavesTheCacheAsLookupsEntryByEntry) {
    for (bool read_only : {false, true}) {
        for (int steer = 0; steer < 8; ++steer) {
            SCOPED_TRACE(read_only ? "read-only" : "writable");
            const Seen want = scan(read_only, 0, true, steer);
            EXPECT_EQ(scan(read_only, 0, false, steer), want) << steer;
            EXPECT_TRUE(want.complete);
        }
    }
    EXPECT_NE(scan(true, 0, true).errors, "") << "a read-only scan warns at odd evictions";
}

TEST(ReadAhead, FreeCountStopsAtAnUnreadableFatBlock) {
    // The image ends inside FAT block 150, in the middle of a read-ahead run.
    const Seen want = scan(false, (5 + 150) * 512 + 100, true);
    EXPECT_EQ(scan(false, (5 + 150) * 512 + 100, false), want);
    EXPECT_FALSE(want.complete);
    EXPECT_EQ(want.errors, "error: can't read block.\n");
}

TEST(ReadAhead, AllocatorScansToTheLastBlock) {
    ScratchVolume sv(kTotal);
    std::uint8_t used[512] = {};
    for (std::size_t i = 0; i < 170; ++i) used[3 * i + 2] = FAT_EOF;
    for (std::uint64_t k = 0; k < data_start(kTotal) - 5; ++k) sv.write_block(k + 5, used);
    sv.put_fat(kTotal - 1, FAT_FREE);
    sv.set_free_counter(1);
    sv.open();
    std::uint64_t start = data_start(kTotal), contig = 1;
    ASSERT_EQ(fat_alloc_chain(sv.fs.vol, &start, 1, &contig), 0) << sv.errors();
    EXPECT_EQ(start, kTotal - 1u);
    // Nothing left: refused, nothing changed.
    start = data_start(kTotal);
    EXPECT_EQ(fat_alloc_chain(sv.fs.vol, &start, 1, &contig), -2);
    EXPECT_EQ(sv.errors(), "error: can't find contiguous free blocks.\nerror: can't create file.\n");
    EXPECT_EQ(free_counter(sv.fs.vol), 0u);
}

TEST(Newfs, WritesTheFatInRunsOfBlocks) {
    // 2,101 FAT blocks: more than one 1 MB run.
    const std::uint32_t total = 170 * 2100 + 1;
    ScratchVolume sv(total);
    for (std::uint64_t b : {std::uint64_t{6000}, std::uint64_t{2048 * 170 + 5}, std::uint64_t{total - 1}})
        sv.put_fat(b, FAT_EOF);
    sv.open();
    ASSERT_EQ(fs_create(sv.fs), 0);
    std::vector<std::uint8_t> empty(512, 0);
    empty[510] = 'F';
    empty[511] = 'B';
    for (std::uint64_t k : {0, 35, 2047, 2048, 2100}) EXPECT_EQ(sv.read_block(k + 5), empty) << k;
    EXPECT_EQ(fat_count_free(sv.fs.vol), total - data_start(total));
    EXPECT_EQ(sv.errors(), "");
}

// A host file in the volume's folder, removed with it.
struct HostFile {
    std::string path;
    int fd;
    HostFile(const ScratchVolume& sv, const char* name, int flags = O_RDWR)
        : path(sv.path() + "." + name), fd(::open(path.c_str(), flags | O_CREAT | O_TRUNC, 0644)) {}
    ~HostFile() {
        ::close(fd);
        ::unlink(path.c_str());
    }
    std::string contents() const {
        std::string s(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
        EXPECT_EQ(::pread(fd, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
        return s;
    }
};

TEST(Stream, RunsToAndFromHostFilesAcrossChunks) {
    ScratchVolume sv(20000);
    sv.open();
    Volume& v = sv.fs.vol;
    // 6,110 blocks in three runs, the first longer than one 1 MB chunk.
    const std::vector<BlockRun> runs = {{100, 3000}, {5000, 10}, {7000, 3100}};
    const std::size_t bytes = 6110 * 512 - 300;
    std::string data(bytes, '\0');
    std::mt19937 rng(9);
    for (char& c : data) c = static_cast<char>(rng());
    HostFile in(sv, "in");
    ASSERT_EQ(::write(in.fd, data.data(), bytes), static_cast<ssize_t>(bytes));
    ASSERT_EQ(runs_from_host(v, runs, in.fd, bytes), 0);
    const std::string want = data + std::string(300, '\0');

    // Out by copy_file_range to a plain file; by the buffer to a file open
    // for appending, which that call refuses.
    HostFile plain(sv, "plain"), append(sv, "append", O_WRONLY | O_APPEND);
    ASSERT_EQ(runs_to_host(v, runs, plain.fd), 0);
    EXPECT_EQ(plain.contents(), want);
    ASSERT_EQ(runs_to_host(v, runs, append.fd), 0);
    EXPECT_EQ(::close(append.fd), 0);
    append.fd = ::open(append.path.c_str(), O_RDONLY);
    EXPECT_EQ(append.contents(), want);

    // Copies: to blocks of their own, and onto blocks that overlap the source.
    for (const std::vector<BlockRun>& to :
         {std::vector<BlockRun>{{12000, 6110}}, std::vector<BlockRun>{{1000, 2900}, {5005, 3210}}}) {
        ASSERT_EQ(runs_copy(v, runs, to), 0);
        HostFile out(sv, "out");
        ASSERT_EQ(runs_to_host(v, to, out.fd), 0);
        EXPECT_EQ(out.contents(), want);
    }
    EXPECT_EQ(sv.errors(), "");

    // A host file shorter than its size said: reported to the caller.
    EXPECT_EQ(runs_from_host(v, runs, in.fd, bytes + 1000), -3);
}

// chain_map takes the same steps, prints the same lines and returns the same
// result as chain_transfer, for sound and broken chains.
TEST(Stream, ChainMapFailsWhereTheTransferFails) {
    struct Case {
        const char* what;
        std::uint64_t contiguous, count;
        std::uint32_t file_blocks;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> fat;
    };
    const Case cases[] = {
        {"whole chain", 3, 5, 0, {{12, 20}, {20, 21}, {21, FAT_EOF}}},
        {"count runs out", 3, 4, 0, {{12, 20}, {20, 21}, {21, FAT_EOF}}},
        {"free block", 1, 5, 0, {{10, 30}}},
        {"bad block", 1, 5, 0, {{10, FAT_BAD}}},
        {"beyond the volume", 1, 5, 0, {{10, 70}}},
        {"run past the end", 60, 60, 0, {}},
        {"image ends", 3, 5, 21, {{12, 20}, {20, 21}, {21, FAT_EOF}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // result, lines printed and victim counter, by either way
        auto walk = [&c](bool map) {
            ScratchVolume sv(60, c.file_blocks);
            for (auto [block, value] : c.fat) sv.put_fat(block, value);
            sv.open();
            std::vector<std::uint8_t> buf(c.count * BLOCK_SIZE);
            std::vector<BlockRun> runs;
            int r = map ? chain_map(sv.fs.vol, 10, c.contiguous, c.count, Direction::read, runs)
                        : chain_transfer(sv.fs.vol, buf.data(), 10, c.contiguous, c.count, Direction::read);
            return std::make_tuple(r, sv.errors(), sv.fs.vol.fat.victim_counter);
        };
        EXPECT_EQ(walk(true), walk(false));
    }
}

}  // namespace
