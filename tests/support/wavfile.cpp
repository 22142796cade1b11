#include "wavfile.h"

namespace {

void put16(std::string* s, int64_t v) {
    s->push_back(static_cast<char>(v & 0xff));
    s->push_back(static_cast<char>((v >> 8) & 0xff));
}

void put32(std::string* s, int64_t v) {
    put16(s, v & 0xffff);
    put16(s, (v >> 16) & 0xffff);
}

// Exactly four characters: longer ids are cut, shorter ones padded with spaces.
void put_id(std::string* s, const std::string& id) {
    std::string four = id.substr(0, 4);
    four.resize(4, ' ');
    s->append(four);
}

void put_chunk(std::string* s, const WavChunk& chunk) {
    put_id(s, chunk.id);
    put32(s, static_cast<int64_t>(chunk.body.size()));
    s->append(chunk.body);
    if (chunk.body.size() % 2 != 0) s->push_back('\0');
}

} // namespace

std::string build_wav(const WavLayout& w) {
    std::string fmt;
    put16(&fmt, w.fmt_tag);
    put16(&fmt, w.channels);
    put32(&fmt, w.rate);
    put32(&fmt, w.byte_rate >= 0 ? w.byte_rate : static_cast<int64_t>(w.rate) * w.block_align);
    put16(&fmt, w.block_align);
    put16(&fmt, w.bits);
    fmt.resize(w.fmt_body_size, '\0');

    std::string form;
    put_id(&form, w.wave_id);
    put_chunk(&form, WavChunk{w.fmt_id, fmt});
    for (const WavChunk& c : w.chunks_before_data)
        put_chunk(&form, c);
    if (w.has_data_chunk) {
        put_id(&form, "data");
        put32(&form,
              w.data_size_field >= 0 ? w.data_size_field : static_cast<int64_t>(w.data.size()));
        form.append(w.data);
        if (w.data.size() % 2 != 0 && !w.chunks_after_data.empty()) form.push_back('\0');
    }
    for (const WavChunk& c : w.chunks_after_data)
        put_chunk(&form, c);

    std::string file;
    put_id(&file, w.riff_id);
    put32(&file, w.riff_size_field >= 0 ? w.riff_size_field : static_cast<int64_t>(form.size()));
    file.append(form);
    return file;
}

std::string make_wav(int channels, int rate, const std::vector<int16_t>& interleaved_samples) {
    WavLayout w;
    w.channels = channels;
    w.rate = rate;
    w.block_align = 2 * channels;
    w.bits = 16;
    w.data = pcm_bytes(interleaved_samples);
    return build_wav(w);
}

std::string make_wav_raw(int fmt_tag, int channels, int rate, int block_align, int bits,
                         uint32_t fmt_body_size,
                         const std::vector<WavChunk>& extra_chunks_before_data,
                         const std::string& data_bytes, int64_t data_size_field) {
    WavLayout w;
    w.fmt_tag = fmt_tag;
    w.channels = channels;
    w.rate = rate;
    w.block_align = block_align;
    w.bits = bits;
    w.fmt_body_size = fmt_body_size;
    w.chunks_before_data = extra_chunks_before_data;
    w.data = data_bytes;
    w.data_size_field = data_size_field;
    return build_wav(w);
}

std::string pcm_bytes(const std::vector<int16_t>& samples) {
    std::string s;
    s.reserve(samples.size() * 2);
    for (int16_t v : samples)
        put16(&s, static_cast<uint16_t>(v));
    return s;
}

std::vector<int16_t> pcm_samples(const std::string& bytes) {
    std::vector<int16_t> v;
    v.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned lo = static_cast<unsigned char>(bytes[i]);
        unsigned hi = static_cast<unsigned char>(bytes[i + 1]);
        v.push_back(static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8))));
    }
    return v;
}
