#include "pbuffer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void alloc_failed(const char* what, int line) {
    std::fprintf(stderr, "%s at \"%s\":%d: %s\n", what, "../pbuffer", line, std::strerror(errno));
    std::exit(1);
}

uint8_t* block(const pbuffer* pb, int index) {
    return pb->data + static_cast<size_t>(index) * static_cast<size_t>(pb->elsize);
}

int advance(const pbuffer* pb, int index) {
    return index + 1 == pb->count ? 0 : index + 1;
}

} // namespace

pbuffer* pbuffer_alloc(int count, int elsize) {
    auto* pb = static_cast<pbuffer*>(std::malloc(sizeof(pbuffer)));
    if (pb == nullptr) alloc_failed("allocating pbuffer", 24);
    if (count <= 0 || elsize <= 0) {
        errno = EINVAL;
        alloc_failed("allocating buffer for pbuf", 29);
    }
    // count x elsize may not fit in a 32-bit size_t: such a ring cannot be had.
    if (static_cast<size_t>(count) > SIZE_MAX / static_cast<size_t>(elsize)) {
        errno = ENOMEM;
        alloc_failed("allocating buffer for pbuf", 29);
    }
    pb->data = static_cast<uint8_t*>(
        std::malloc(static_cast<size_t>(count) * static_cast<size_t>(elsize)));
    if (pb->data == nullptr) alloc_failed("allocating buffer for pbuf", 29);
    pb->count = count;
    pb->elsize = elsize;
    pb->rd = pb->wr = pb->consumed = pb->produced = pb->flags = pb->last_bytes = 0;
    return pb;
}

int pbuffer_free(pbuffer* pb) {
    if (pb == nullptr) return 0;
    std::free(pb->data);
    std::free(pb);
    return 0;
}

void pbuffer_reset(pbuffer* pb) {
    if (pb == nullptr) return;
    pb->rd = pb->wr = pb->consumed = pb->produced = pb->flags = pb->last_bytes = 0;
}

uint8_t* pbuffer_write_slot(pbuffer* pb) {
    // One block always stays free on this path: full means wr would catch up with rd.
    // A ring filled to the brim by pbuffer_write has wr == rd: the level tells.
    if (pb == nullptr || advance(pb, pb->wr) == pb->rd || pbuffer_level(pb) >= pb->count)
        return nullptr;
    return block(pb, pb->wr);
}

int pbuffer_commit_write(pbuffer* pb) {
    if (pb == nullptr) return -1;
    pb->wr = advance(pb, pb->wr);
    pb->produced += 1;
    return 0;
}

int pbuffer_commit_last(pbuffer* pb, int bytes) {
    if (pb == nullptr) return -1;
    pb->last_bytes = bytes > 0 && bytes < pb->elsize ? bytes : 0;
    pbuffer_set_flags(pb, PBUFFER_EOF);
    return pbuffer_commit_write(pb);
}

int pbuffer_write(pbuffer* pb, const void* src, int n) {
    int m = n < pbuffer_free_space(pb) ? n : pbuffer_free_space(pb);
    if (m < 0) m = 0;
    const auto* from = static_cast<const uint8_t*>(src);
    for (int i = 0; i < m; i++) {
        std::memcpy(block(pb, pb->wr), from + static_cast<size_t>(i) * pb->elsize,
                    static_cast<size_t>(pb->elsize));
        pb->wr = advance(pb, pb->wr);
    }
    pb->produced += m;
    return m;
}

int pbuffer_read(pbuffer* pb, void* dest, int n) {
    int avail = pb->produced - pb->consumed;
    int m = n < avail ? n : avail;
    if (m < 0) m = 0;
    auto* to = static_cast<uint8_t*>(dest);
    for (int i = 0; i < m; i++) {
        std::memcpy(to + static_cast<size_t>(i) * pb->elsize, block(pb, pb->rd),
                    static_cast<size_t>(pb->elsize));
        pb->rd = advance(pb, pb->rd);
    }
    pb->consumed += m;
    if (avail == 0 && (pb->flags & PBUFFER_EOF) != 0) return -1;
    return m;
}

// rd == wr alone would also describe a ring that pbuffer_write filled completely;
// the counters tell empty from full.
uint8_t* pbuffer_read_slot(pbuffer* pb) {
    if (pb == nullptr || pbuffer_is_empty(pb)) return nullptr;
    return block(pb, pb->rd);
}

uint8_t* pbuffer_peek(pbuffer* pb, int i) {
    if (pb == nullptr || i < 0 || i >= pbuffer_level(pb)) return nullptr;
    return block(pb, (pb->rd + i) % pb->count);
}

int pbuffer_block_bytes(const pbuffer* pb, int i) {
    const bool last = i == pbuffer_level(pb) - 1 && pbuffer_eof(pb) && pb->last_bytes > 0;
    return last ? pb->last_bytes : pb->elsize;
}

int pbuffer_commit_read(pbuffer* pb) {
    if (pb == nullptr || pbuffer_is_empty(pb)) return -1;
    pb->rd = advance(pb, pb->rd);
    pb->consumed += 1;
    return 0;
}

int pbuffer_set_flags(pbuffer* pb, int bits) {
    return pb->flags |= bits;
}
int pbuffer_clear_flags(pbuffer* pb, int bits) {
    return pb->flags &= ~bits;
}
int pbuffer_eof(const pbuffer* pb) {
    return pb->flags & PBUFFER_EOF;
}
int pbuffer_level(const pbuffer* pb) {
    return pb->produced - pb->consumed;
}
int pbuffer_free_space(const pbuffer* pb) {
    return pb->count + pb->consumed - pb->produced;
}
int pbuffer_is_full(const pbuffer* pb) {
    return pb->produced - pb->consumed == pb->count ? 1 : 0;
}
int pbuffer_is_empty(const pbuffer* pb) {
    return pb->consumed == pb->produced ? 1 : 0;
}
