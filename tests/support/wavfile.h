// WAV files for tests, canonical and deliberately malformed, and 16-bit sample helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One RIFF chunk: a 4-character id and its body. An odd-sized body is followed by the
// pad byte (0) in the file.
struct WavChunk {
    std::string id;
    std::string body;
};

// Every field of a WAV file that the tests may want to get wrong. The defaults make a
// canonical 44-byte-header PCM file (16-bit stereo 44100 Hz, no data).
struct WavLayout {
    std::string riff_id = "RIFF";
    int64_t riff_size_field = -1; // -1: file length - 8
    std::string wave_id = "WAVE";
    std::string fmt_id = "fmt ";
    int fmt_tag = 1;
    int channels = 2;
    int rate = 44100;
    int64_t byte_rate = -1; // -1: rate * block_align
    int block_align = 4;
    int bits = 16;
    // Size field and length of the fmt body. The 16 standard bytes are cut short or
    // followed by zero bytes to this length (plus a pad byte when odd).
    uint32_t fmt_body_size = 16;
    std::vector<WavChunk> chunks_before_data; // between the fmt chunk and "data"
    bool has_data_chunk = true;
    std::string data;                        // bytes of the data chunk body
    int64_t data_size_field = -1;            // -1: data.size()
    std::vector<WavChunk> chunks_after_data; // after the data body (and its pad byte)
};

// The file described by layout, as bytes.
std::string build_wav(const WavLayout& layout);

// Canonical PCM 16-bit file: 44-byte header, then the samples (interleaved for 2
// channels), block align 2 * channels.
std::string make_wav(int channels, int rate, const std::vector<int16_t>& interleaved_samples);

// The common malformed cases in one call. data_size_field -1 writes data_bytes.size().
std::string make_wav_raw(int fmt_tag, int channels, int rate, int block_align, int bits,
                         uint32_t fmt_body_size,
                         const std::vector<WavChunk>& extra_chunks_before_data,
                         const std::string& data_bytes, int64_t data_size_field = -1);

// Samples as little-endian bytes, and back (a trailing odd byte is ignored).
std::string pcm_bytes(const std::vector<int16_t>& samples);
std::vector<int16_t> pcm_samples(const std::string& bytes);
