// Block access rules and chain transfers.
#include <gtest/gtest.h>

#include <cstring>

#include "fat.h"
#include "fixture.h"

namespace {

TEST(BlockIo, BoundsRuleKeepsHeadersReachable) {
    ScratchVolume sv(0, 10);
    sv.open();
    Volume& v = sv.fs.vol;
    Block b;
    EXPECT_EQ(block_read(v, b.data(), 2), 0);
    EXPECT_EQ(block_read(v, b.data(), 3), -1);
    EXPECT_EQ(sv.errors(), "error: can't access block beyond TOTAL_BLK_NR.\n");
    EXPECT_EQ(block_write(v, b.data(), 3), -1);
    EXPECT_EQ(sv.errors(), "error: can't access block beyond TOTAL_BLK_NR.\n");
}

TEST(BlockIo, ShortFileAndReadOnly) {
    ScratchVolume sv(100, 8);
    sv.open();
    Block b{};
    EXPECT_EQ(block_read(sv.fs.vol, b.data(), 50), -2);
    EXPECT_EQ(sv.errors(), "error: can't read block.\n");

    ScratchVolume ro(100);
    ro.open(true);
    auto before = ro.read_block(7);
    b.fill(0xAA);
    EXPECT_EQ(block_write(ro.fs.vol, b.data(), 7), -1);
    EXPECT_EQ(block_write(ro.fs.vol, b.data(), 500), -1);  // read-only is tested first
    EXPECT_EQ(ro.errors(), "error: device readonly.\nerror: device readonly.\n");
    EXPECT_EQ(chain_transfer(ro.fs.vol, b.data(), 10, 1, 1, Direction::write), -1);
    EXPECT_EQ(ro.read_block(7), before);
}

// A volume with a chain 10 -> 11 -> 20 -> EOF, data blocks numbered in
// their first byte.
class Chain : public ::testing::Test {
protected:
    ScratchVolume sv{60};
    void SetUp() override {
        sv.put_fat(10, 11);
        sv.put_fat(11, 20);
        sv.put_fat(20, FAT_EOF);
        sv.put_fat(12, FAT_EOF);
        sv.put_fat(30, 31);  // 31 is free
        sv.put_fat(40, FAT_BAD);
        sv.put_fat(45, 70);  // beyond the volume
        for (std::uint8_t n : {10, 11, 12, 20, 30, 31}) {
            std::uint8_t b[512] = {};
            b[0] = n;
            sv.write_block(n, b);
        }
        sv.open();
    }
    std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(8 * 512, 0xEE);
    int read(std::uint64_t start, std::uint64_t contig, std::uint64_t count) {
        return chain_transfer(sv.fs.vol, buf.data(), start, contig, count, Direction::read);
    }
};

TEST_F(Chain, ResultCodes) {
    EXPECT_EQ(read(10, 1, 0), 1);
    EXPECT_EQ(sv.fs.vol.blocks_read, 0u + 2u) << "only the root was read";
    EXPECT_EQ(read(10, 1, 3), 0);
    EXPECT_EQ(buf[0], 10);
    EXPECT_EQ(buf[512], 11);
    EXPECT_EQ(buf[1024], 20);
    EXPECT_EQ(read(10, 0, 2), 1);
    EXPECT_EQ(read(10, 1, CHAIN_ALL), 0);
    // Contiguous blocks are taken as the next numbers without the FAT.
    EXPECT_EQ(read(10, 3, 3), 0);
    EXPECT_EQ(buf[1024], 12);
    EXPECT_EQ(sv.errors(), "");

    EXPECT_EQ(read(30, 1, 5), -3);
    EXPECT_EQ(buf[512], 31);  // blocks moved before the failure stay
    EXPECT_EQ(sv.errors(), "error: free block in chain.\n");
    EXPECT_EQ(read(40, 1, 5), -4);
    EXPECT_EQ(sv.errors(), "error: bad block in chain.\n");
    // A link past the end is found when the next block is read.
    EXPECT_EQ(read(45, 1, 5), -1);
    EXPECT_EQ(sv.errors(), "error: can't access block beyond TOTAL_BLK_NR.\n");
    EXPECT_EQ(read(58, 4, 5), -5);
    EXPECT_EQ(sv.errors(), "error: blocknr too big.\n");
    EXPECT_EQ(read(70, 1, 1), -1);
    EXPECT_EQ(sv.errors(), "error: can't access block beyond TOTAL_BLK_NR.\n");
}

TEST_F(Chain, RootRunNeverConsultsTheFat) {
    const int before = sv.fs.vol.fat.victim_counter;
    EXPECT_EQ(read(3, 3, 2), 1);
    EXPECT_EQ(sv.fs.vol.fat.victim_counter, before);
}

TEST(BlockIo, RunPastTheEndOfTheFileFailsAtItsFirstMissingBlock) {
    ScratchVolume sv(100, 20);
    sv.open();
    std::vector<std::uint8_t> buf(10 * 512, 0xEE);
    for (std::uint8_t n = 15; n < 20; ++n) {
        std::uint8_t b[512] = {};
        b[0] = n;
        sv.write_block(n, b);
    }
    const std::uint64_t reads = sv.fs.vol.blocks_read;
    EXPECT_EQ(chain_transfer(sv.fs.vol, buf.data(), 15, 10, 10, Direction::read), -1);
    EXPECT_EQ(sv.errors(), "error: can't read block.\n");
    EXPECT_EQ(buf[4 * 512], 19);
    EXPECT_EQ(buf[5 * 512], 0xEE);
    EXPECT_EQ(sv.fs.vol.blocks_read - reads, 5u);
}

TEST_F(Chain, UnreadableFatBlock) {
    ScratchVolume small(400, 6);  // FAT block 1 lies beyond the file
    small.open();
    Block b;
    EXPECT_EQ(chain_transfer(small.fs.vol, b.data(), 200, 1, 1, Direction::read), -1);
}

}  // namespace

namespace {

// The two opens of the checker: read-only without the lock, and read-write
// with the lock or not at all; and a run of blocks read in one call.
TEST(CheckerOpens, ReadOnlySharesExclusiveRefuses) {
    ScratchVolume sv(100);
    Volume holder;
    ASSERT_EQ(volume_open_exclusive(holder, sv.path().c_str()), 0);
    EXPECT_FALSE(holder.read_only);
    Volume other;
    EXPECT_EQ(volume_open_exclusive(other, sv.path().c_str()), -3);
    EXPECT_EQ(volume_open_readonly(other, sv.path().c_str()), 0);
    EXPECT_TRUE(other.read_only);
    EXPECT_EQ(total_blocks(other), 100u);
    Block b{};
    EXPECT_EQ(block_write(other, b.data(), 7), -1);
    EXPECT_EQ(sv.errors(), "error: device readonly.\n");
    EXPECT_EQ(volume_open_readonly(other, (sv.path() + ".absent").c_str()), -1);
    EXPECT_EQ(sv.errors(), "");  // both opens are silent

    std::vector<std::uint8_t> run(3 * BLOCK_SIZE);
    EXPECT_EQ(block_read_run(holder, run.data(), 5, 3), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(run.begin() + 510, run.begin() + 512), (std::vector<std::uint8_t>{'F', 'B'}));
    EXPECT_EQ(block_read_run(holder, run.data(), 98, 3), -1);  // beyond TOTAL_BLK_NR
}

}  // namespace
