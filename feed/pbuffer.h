// Ring of fixed-size blocks between the reader pipe and the decoder.
//
// The writer fills the block at `wr` in place (pbuffer_write_slot, then
// pbuffer_commit_write); readers copy whole blocks out. PBUFFER_EOF marks that
// the writer has seen the end of the stream, so that an empty ring can be told
// apart from an exhausted one. The writer's last block may be short: it is committed with
// pbuffer_commit_last, and the ring keeps how many of its bytes are data.
#pragma once

#include <cstdint>

constexpr int PBUFFER_EOF = 1;

struct pbuffer {
    int32_t rd;         // index of the oldest filled block
    int32_t wr;         // index of the next block to fill
    uint8_t* data;      // count * elsize bytes, block i at i * elsize
    int32_t flags;      // bit 0: PBUFFER_EOF; other bits free for the caller
    int32_t consumed;   // blocks taken out since creation or reset
    int32_t produced;   // blocks put in since creation or reset
    int32_t count;      // number of blocks
    int32_t elsize;     // bytes per block
    int32_t last_bytes; // data bytes of the last block (pbuffer_commit_last), 1..elsize-1;
                        // 0 when every block is whole
};

// Creates an empty ring; ends the process when memory cannot be had.
pbuffer* pbuffer_alloc(int count, int elsize);
int pbuffer_free(pbuffer* pb);
void pbuffer_reset(pbuffer* pb);

// Writer side.
uint8_t* pbuffer_write_slot(pbuffer* pb);
int pbuffer_commit_write(pbuffer* pb);
int pbuffer_write(pbuffer* pb, const void* src, int n);
// Commits the block from pbuffer_write_slot as the writer's last, holding only its first
// `bytes` bytes of data, and sets PBUFFER_EOF. Returns as pbuffer_commit_write.
int pbuffer_commit_last(pbuffer* pb, int bytes);

// Reader side.
int pbuffer_read(pbuffer* pb, void* dest, int n);
uint8_t* pbuffer_read_slot(pbuffer* pb);
int pbuffer_commit_read(pbuffer* pb);
// The i-th filled block from the oldest (0) on, left in the ring; null past the newest.
uint8_t* pbuffer_peek(pbuffer* pb, int i);
// Data bytes of the i-th filled block from the oldest on: elsize, but for a short last block.
int pbuffer_block_bytes(const pbuffer* pb, int i);

// State.
int pbuffer_set_flags(pbuffer* pb, int bits);
int pbuffer_clear_flags(pbuffer* pb, int bits);
int pbuffer_eof(const pbuffer* pb);
int pbuffer_level(const pbuffer* pb);
int pbuffer_free_space(const pbuffer* pb);
int pbuffer_is_full(const pbuffer* pb);
int pbuffer_is_empty(const pbuffer* pb);
