#include "pbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

void fill_block(pbuffer* pb, uint8_t value) {
    uint8_t* slot = pbuffer_write_slot(pb);
    ASSERT_NE(slot, nullptr);
    std::memset(slot, value, static_cast<size_t>(pb->elsize));
    ASSERT_EQ(pbuffer_commit_write(pb), 0);
}

TEST(Pbuffer, SlotPathKeepsOneBlockFree) {
    pbuffer* pb = pbuffer_alloc(4, 8);
    EXPECT_EQ(pbuffer_write_slot(pb), pb->data);
    fill_block(pb, 1);
    EXPECT_EQ(pbuffer_write_slot(pb), pb->data + 8);
    fill_block(pb, 2);
    fill_block(pb, 3);
    EXPECT_EQ(pbuffer_write_slot(pb), nullptr);
    EXPECT_EQ(pbuffer_level(pb), 3);
    EXPECT_EQ(pbuffer_is_full(pb), 0);
    EXPECT_EQ(pbuffer_free_space(pb), 1);
    pbuffer_free(pb);
}

TEST(Pbuffer, ReadReturnsWhatIsThereThenEndOfStream) {
    pbuffer* pb = pbuffer_alloc(4, 8);
    fill_block(pb, 7);
    uint8_t out[16] = {};
    EXPECT_EQ(pbuffer_read(pb, out, 2), 1);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(pbuffer_read(pb, out, 1), 0); // empty for now
    EXPECT_EQ(pbuffer_eof(pb), 0);
    EXPECT_EQ(pbuffer_set_flags(pb, PBUFFER_EOF | 4), PBUFFER_EOF | 4);
    EXPECT_EQ(pbuffer_eof(pb), 1);
    EXPECT_EQ(pbuffer_read(pb, out, 1), -1); // empty for good
    EXPECT_EQ(pbuffer_clear_flags(pb, 4), PBUFFER_EOF);
    pbuffer_free(pb);
}

TEST(Pbuffer, BlocksHeldAtEndOfStreamComeOutFirst) {
    pbuffer* pb = pbuffer_alloc(4, 8);
    fill_block(pb, 1);
    pbuffer_write_slot(pb)[0] = 2;
    EXPECT_EQ(pbuffer_commit_last(pb, 3), 0); // 3 bytes of data, then the end of the stream
    EXPECT_EQ(pbuffer_eof(pb), 1);
    EXPECT_EQ(pbuffer_block_bytes(pb, 0), 8);
    EXPECT_EQ(pbuffer_block_bytes(pb, 1), 3);
    uint8_t out[8];
    EXPECT_EQ(pbuffer_read(pb, out, 1), 1);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(pbuffer_read(pb, out, 1), 1);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(pbuffer_read(pb, out, 1), -1);
    pbuffer_free(pb);
}

TEST(Pbuffer, IndicesWrapAndOrderIsKept) {
    pbuffer* pb = pbuffer_alloc(3, 4);
    uint8_t out[4];
    // Ten blocks through a ring of three: every index wraps several times.
    for (uint8_t v = 0; v < 10; v++) {
        fill_block(pb, v);
        EXPECT_EQ(pbuffer_read(pb, out, 1), 1);
        EXPECT_EQ(out[0], v);
        EXPECT_EQ(out[3], v);
    }
    EXPECT_EQ(pb->rd, 10 % 3);
    EXPECT_EQ(pb->wr, 10 % 3);
    EXPECT_EQ(pb->produced, 10);
    EXPECT_EQ(pb->consumed, 10);
    EXPECT_EQ(pbuffer_is_empty(pb), 1);
    pbuffer_free(pb);
}

TEST(Pbuffer, MultiBlockReadAcrossTheWrap) {
    pbuffer* pb = pbuffer_alloc(4, 2);
    uint8_t out[8];
    fill_block(pb, 0);
    fill_block(pb, 1);
    EXPECT_EQ(pbuffer_read(pb, out, 2), 2); // rd = 2
    fill_block(pb, 2);
    fill_block(pb, 3); // wr wraps to 0
    fill_block(pb, 4);
    EXPECT_EQ(pb->wr, 1);
    EXPECT_EQ(pbuffer_read(pb, out, 4), 3);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(out[4], 4);
    pbuffer_free(pb);
}

TEST(Pbuffer, BulkWriteAndSlotReads) {
    pbuffer* pb = pbuffer_alloc(4, 2);
    const uint8_t src[10] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5};
    EXPECT_EQ(pbuffer_write(pb, src, 5), 4); // the bulk path may fill every block
    EXPECT_EQ(pbuffer_is_full(pb), 1);
    EXPECT_EQ(pbuffer_free_space(pb), 0);
    // A full ring has rd == wr: it must neither hand out a slot over unread data nor
    // look empty to the slot reader.
    EXPECT_EQ(pbuffer_write_slot(pb), nullptr);
    uint8_t* slot = pbuffer_read_slot(pb);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot[0], 1);
    EXPECT_EQ(pbuffer_commit_read(pb), 0);
    EXPECT_EQ(pbuffer_read_slot(pb)[0], 2);
    uint8_t out[6];
    EXPECT_EQ(pbuffer_read(pb, out, 3), 3);
    EXPECT_EQ(out[4], 4);
    EXPECT_EQ(pbuffer_read_slot(pb), nullptr);
    EXPECT_EQ(pbuffer_commit_read(pb), -1);
    pbuffer_free(pb);
}

TEST(Pbuffer, NullRecordsAndReset) {
    EXPECT_EQ(pbuffer_write_slot(nullptr), nullptr);
    EXPECT_EQ(pbuffer_commit_write(nullptr), -1);
    EXPECT_EQ(pbuffer_commit_last(nullptr, 1), -1);
    EXPECT_EQ(pbuffer_read_slot(nullptr), nullptr);
    EXPECT_EQ(pbuffer_commit_read(nullptr), -1);
    EXPECT_EQ(pbuffer_free(nullptr), 0);
    pbuffer_reset(nullptr);

    pbuffer* pb = pbuffer_alloc(4, 2);
    fill_block(pb, 1);
    pbuffer_set_flags(pb, PBUFFER_EOF);
    pbuffer_reset(pb);
    EXPECT_EQ(pbuffer_level(pb), 0);
    EXPECT_EQ(pbuffer_eof(pb), 0);
    EXPECT_EQ(pb->rd, 0);
    EXPECT_EQ(pb->wr, 0);
    pbuffer_free(pb);
}

TEST(PbufferDeathTest, ImpossibleAllocationEndsTheProcess) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer aborts on impossible allocations itself";
#endif
    EXPECT_EXIT(pbuffer_alloc(1 << 30, 1 << 30), testing::ExitedWithCode(1),
                "allocating buffer for pbuf at \"../pbuffer\":29: ");
}

} // namespace
