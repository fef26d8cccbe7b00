// The FAT cache, the allocator and the free-block bookkeeping.
#include <gtest/gtest.h>

#include "fat.h"
#include "fixture.h"

namespace {

struct AllocCase {
    std::vector<std::uint64_t> used;
    std::uint64_t count;
    std::uint64_t contig_in;
    std::vector<std::uint64_t> chain;
    std::uint64_t contig_out;
};

class AllocTable : public ::testing::TestWithParam<AllocCase> {};

TEST_P(AllocTable, ChainAndRunOnSixtyBlockVolume) {
    const AllocCase& c = GetParam();
    ScratchVolume sv(60);
    for (auto b : c.used) sv.put_fat(b, FAT_EOF);
    sv.open();
    Volume& v = sv.fs.vol;
    const std::uint32_t before = free_counter(v);

    std::uint64_t start = data_start(60);
    std::uint64_t contig = c.contig_in;
    ASSERT_EQ(fat_alloc_chain(v, &start, c.count, &contig), 0) << sv.errors();
    EXPECT_EQ(start, c.chain.front());
    EXPECT_EQ(contig, c.contig_out);
    EXPECT_EQ(chain_of(v, start), c.chain);
    EXPECT_EQ(free_counter(v), before - c.count);
    // The counter reaches block 2 at once; the FAT only at the flush.
    EXPECT_EQ(be32_get(sv.read_block(2).data()), before - c.count);
    EXPECT_EQ(sv.fat_on_disk(c.chain.front()), 0u);
    ASSERT_EQ(fat_flush(v), 0);
    EXPECT_EQ(sv.fat_on_disk(c.chain.back()), FAT_EOF);
    EXPECT_EQ(sv.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, AllocTable,
    ::testing::Values(AllocCase{{6, 7, 9, 12, 13}, 5, 2, {10, 11, 14, 15, 16}, 2},
                      AllocCase{{6, 9, 10}, 4, 1, {7, 8, 11, 12}, 2},
                      AllocCase{{6, 7, 9}, 3, 3, {10, 11, 12}, 3},
                      AllocCase{{6, 7, 9}, 3, 1, {8, 10, 11}, 1},
                      AllocCase{{7, 8, 10, 11, 12}, 2, 2, {13, 14}, 2},
                      AllocCase{{6}, 3, 2, {7, 8, 9}, 3}));

TEST(Alloc, NoSuccessorUndoesTheChainAndKeepsTheCounter) {
    ScratchVolume sv(20);
    for (std::uint64_t b = 6; b < 20; ++b)
        if (b != 7) sv.put_fat(b, FAT_EOF);
    sv.set_free_counter(5);
    sv.open();
    Volume& v = sv.fs.vol;
    std::uint64_t start = 6;
    std::uint64_t contig = 1;
    EXPECT_EQ(fat_alloc_chain(v, &start, 2, &contig), -2);
    EXPECT_EQ(sv.errors(), "error: can't find enough free blocks.\nerror: can't create file.\n");
    EXPECT_EQ(fat_get(v, 7), FAT_FREE);
    EXPECT_EQ(free_counter(v), 5u);
}

TEST(Alloc, RefusalsChangeNothing) {
    ScratchVolume sv(60);
    sv.open();
    Volume& v = sv.fs.vol;
    std::uint64_t start = 6, contig = 3;
    EXPECT_EQ(fat_alloc_chain(v, &start, 2, &contig), -2);
    EXPECT_EQ(sv.errors(), "error: can't create file.\n");

    // Enough free blocks, but only below the chosen run.
    ScratchVolume sv2(20);
    for (std::uint64_t b = 6; b < 20; ++b)
        if (b != 7 && b != 10 && b != 11) sv2.put_fat(b, FAT_EOF);
    sv2.open();
    start = 6;
    contig = 2;
    EXPECT_EQ(fat_alloc_chain(sv2.fs.vol, &start, 3, &contig), -2);
    EXPECT_EQ(sv2.errors(), "error: can't find enough free blocks.\nerror: can't create file.\n");
    EXPECT_EQ(fat_get(sv2.fs.vol, 10), FAT_FREE);
    EXPECT_EQ(fat_get(sv2.fs.vol, 11), FAT_FREE);

    // No run of two at all.
    start = 6;
    contig = 2;
    ScratchVolume sv3(20);
    for (std::uint64_t b = 6; b < 20; b += 2) sv3.put_fat(b, FAT_EOF);
    sv3.open();
    EXPECT_EQ(fat_alloc_chain(sv3.fs.vol, &start, 2, &contig), -2);
    EXPECT_EQ(sv3.errors(), "error: can't find contiguous free blocks.\nerror: can't create file.\n");
}

TEST(Alloc, SubdirectoryRunIsNeverRaised) {
    ScratchVolume sv(60);
    sv.open();
    std::uint64_t start = 6, contig = 2;
    ASSERT_EQ(fat_alloc_chain(sv.fs.vol, &start, 2, &contig), 0);
    EXPECT_EQ(contig, 2u);
    EXPECT_EQ(chain_of(sv.fs.vol, start), (std::vector<std::uint64_t>{6, 7}));
}

TEST(Alloc, ReadOnlyVolumeIsRefused) {
    ScratchVolume sv(60);
    sv.open(true);
    std::uint64_t start = 6, contig = 1;
    EXPECT_EQ(fat_alloc_chain(sv.fs.vol, &start, 1, &contig), -1);
    EXPECT_EQ(sv.errors(), "error: device readonly.\n");
}

TEST(FreeChain, LimitsAndEnds) {
    ScratchVolume sv(60);
    sv.put_fat(10, 11);
    sv.put_fat(11, 12);
    sv.put_fat(12, FAT_EOF);
    sv.put_fat(20, 21);
    sv.put_fat(21, 20);  // a loop
    sv.put_fat(30, 31);  // runs into a free block
    sv.put_fat(40, FAT_BAD);
    sv.open();
    Volume& v = sv.fs.vol;
    std::uint64_t s = 10, freed = 99;
    EXPECT_EQ(fat_free_chain(v, &s, 0, &freed), -5);
    EXPECT_EQ(freed, 0u);
    EXPECT_EQ(fat_get(v, 10), 11);

    EXPECT_EQ(fat_free_chain(v, &s, 2, &freed), -5);
    EXPECT_EQ(freed, 2u);
    EXPECT_EQ(s, 12u);
    EXPECT_EQ(fat_get(v, 12), FAT_EOF);
    EXPECT_EQ(fat_free_chain(v, &s, 5, &freed), 0);
    EXPECT_EQ(freed, 1u);

    s = 20;
    EXPECT_EQ(fat_free_chain(v, &s, 10, &freed), -6);
    EXPECT_EQ(freed, 2u);
    s = 30;
    EXPECT_EQ(fat_free_chain(v, &s, 10, &freed), -6);
    EXPECT_EQ(s, 31u);
    s = 40;
    EXPECT_EQ(fat_free_chain(v, &s, 10, &freed), -4);
    s = 60;
    EXPECT_EQ(fat_free_chain(v, &s, 10, &freed), -4);
    EXPECT_EQ(sv.errors(), "error: bad block in chain.\nerror: bad block in chain.\n");
}

TEST(Release, CounterArithmetic) {
    ScratchVolume sv(60);
    sv.put_fat(10, 11);
    sv.put_fat(11, FAT_EOF);
    sv.set_free_counter(100);
    sv.open();
    Volume& v = sv.fs.vol;
    EXPECT_EQ(blocks_release(v, 10, CHAIN_ALL), 0);
    EXPECT_EQ(free_counter(v), 102u);
    EXPECT_EQ(blocks_release(v, 0, static_cast<std::uint32_t>(-3)), 0);
    EXPECT_EQ(free_counter(v), 99u);
    EXPECT_EQ(be32_get(sv.read_block(2).data()), 99u);
    // A chain into a free block frees what it can and says blocks were lost.
    EXPECT_EQ(blocks_release(v, 20, CHAIN_ALL), 0);
    EXPECT_EQ(sv.errors(), "error: blocks lost.\n");
    EXPECT_EQ(free_counter(v), 99u);
}

TEST(Cache, VictimRuleAndCounter) {
    // 12 FAT blocks: more than the cache holds.
    const std::uint32_t total = 170 * 12;
    ScratchVolume sv(total);
    sv.open();
    Volume& v = sv.fs.vol;
    const int c0 = v.fat.victim_counter;
    EXPECT_GE(fat_slot_for(v, 0), 0);
    EXPECT_EQ(fat_slot_for(v, 1), fat_slot_for(v, 2));  // hits advance the counter too
    EXPECT_EQ(v.fat.victim_counter, (c0 + 3) % 8);
    // fat_get beyond the volume: no lookup.
    EXPECT_EQ(fat_get(v, total), FAT_BAD);
    EXPECT_EQ(v.fat.victim_counter, (c0 + 3) % 8);

    for (std::uint64_t k = 0; k < 8; ++k) ASSERT_GE(fat_slot_for(v, k * 170), 0);
    ASSERT_EQ(fat_set(v, 0, 7), 0);  // slot holding FAT block 0 is dirty
    const std::uint64_t writes = v.blocks_written;
    // Drive the counter so the next lookup's new value is even: a clean slot
    // is taken, nothing written.
    while ((v.fat.victim_counter + 1) % 2 != 0) fat_slot_for(v, 0);
    ASSERT_GE(fat_slot_for(v, 8 * 170), 0);
    EXPECT_EQ(v.blocks_written, writes);
    // Odd: the slot the counter names goes; it is written back only when
    // dirty, as a clean one holds what the volume holds.
    while ((v.fat.victim_counter + 1) % 2 == 0) fat_slot_for(v, 8 * 170);
    const int named = (v.fat.victim_counter + 1) % 8;
    const std::uint64_t expect = writes + (v.fat.dirty[named] ? 1 : 0);
    ASSERT_EQ(fat_slot_for(v, 9 * 170), named);
    EXPECT_EQ(v.blocks_written, expect);
    v.fat.dirty.fill(1);
    while ((v.fat.victim_counter + 1) % 2 == 0) fat_slot_for(v, 9 * 170);
    ASSERT_GE(fat_slot_for(v, 10 * 170), 0);
    EXPECT_EQ(v.blocks_written, expect + 1);
}

TEST(Cache, ReadOnlyScanWarnsAtOddEvictions) {
    const std::uint32_t total = 170 * 20;
    ScratchVolume sv(total);
    sv.open(true);
    Volume& v = sv.fs.vol;
    bool complete = false;
    EXPECT_EQ(fat_count_free(v, &complete), total - data_start(total));
    EXPECT_TRUE(complete);
    std::string e = sv.errors();
    // Either every eviction of the scan warns or none does.
    std::size_t n = 0;
    for (std::size_t p = e.find("error"); p != std::string::npos; p = e.find("error", p + 1)) ++n;
    EXPECT_TRUE(n == 0 || n == 12) << e;
    EXPECT_EQ(fat_flush(v), -2);
    EXPECT_EQ(sv.errors(), "error: can't write FAT, device readonly.\n");
}

TEST(FreeCount, CheckAndCorrect) {
    ScratchVolume sv(60);
    sv.set_free_counter(10);
    sv.open();
    Volume& v = sv.fs.vol;
    EXPECT_EQ(free_count_check(v, false), 54);
    EXPECT_EQ(sv.errors(), "warning: nr of free blks inconsistent.\n");
    EXPECT_EQ(free_counter(v), 10u);
    EXPECT_EQ(free_count_check(v, true), 54);
    EXPECT_EQ(sv.errors(), "warning: nr of free blks inconsistent.\nwarning: free blks counter adjusted.\n");
    EXPECT_EQ(be32_get(sv.read_block(2).data()), 54u);
    EXPECT_EQ(free_count_check(v, true), 54);
    EXPECT_EQ(sv.errors(), "");
}

TEST(FreeCount, IncompleteCountIsNotWrittenAsTheCounter) {
    // FAT block 1 lies beyond the end of the file.
    ScratchVolume sv(400, 6);
    sv.set_free_counter(3);
    sv.open();
    Volume& v = sv.fs.vol;
    EXPECT_EQ(free_count_check(v, true), -1);
    EXPECT_EQ(sv.errors(),
              "error: can't read block.\nwarning: nr of free blks inconsistent.\n"
              "error: can't correct, FAT unreadable.\n");
    EXPECT_EQ(be32_get(sv.read_block(2).data()), 3u);
}

TEST(FreeCount, ReadOnlyCorrectionRefused) {
    ScratchVolume sv(60);
    sv.set_free_counter(10);
    sv.open(true);
    EXPECT_EQ(free_count_check(sv.fs.vol, true), -1);
    EXPECT_EQ(sv.errors(), "warning: nr of free blks inconsistent.\nerror: can't correct, device readonly.\n");
}

}  // namespace
