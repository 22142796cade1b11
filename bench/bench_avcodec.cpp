// Peer decoders for the decoder benchmark: libavcodec's fixed-point ("mp3") and float
// ("mp3float") MPEG audio decoders, used as black boxes through the library's public
// parser and decoder calls. Without libavcodec at build time both report themselves as
// not available.
#include "bench_decode.h"

#include <cmath>
#include <cstdint>

#ifdef VEXA_BENCH_HAVE_AVCODEC
extern "C" {
#include <libavcodec/avcodec.h>
}
#endif

namespace {

#ifdef VEXA_BENCH_HAVE_AVCODEC

int16_t av_out[1152 * 2];

int16_t float_to_16(float v) {
    const long s = std::lrintf(v * 32768.0f);
    return int16_t(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
}

// Interleaves one decoded frame into av_out (16-bit); returns the samples per channel.
int frame_to_16(const AVFrame* f, int channels) {
    const int n = f->nb_samples;
    for (int ch = 0; ch < channels; ch++) {
        if (f->format == AV_SAMPLE_FMT_S16P) {
            const int16_t* s = reinterpret_cast<const int16_t*>(f->extended_data[ch]);
            for (int i = 0; i < n; i++)
                av_out[i * channels + ch] = s[i];
        } else {
            const float* s = reinterpret_cast<const float*>(f->extended_data[ch]);
            for (int i = 0; i < n; i++)
                av_out[i * channels + ch] = float_to_16(s[i]);
        }
    }
    return n;
}

tDecodeRun run_avcodec(const char* decoder, const tInputFile& in, tPcm* keep) {
    tDecodeRun result{0, 0, 0};
    const AVCodec* codec = avcodec_find_decoder_by_name(decoder);
    if (codec == nullptr) return {0, 0, 1};
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVCodecParserContext* parser = av_parser_init(codec->id);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (ctx == nullptr || parser == nullptr || pkt == nullptr || frame == nullptr ||
        avcodec_open2(ctx, codec, nullptr) < 0) {
        result.failures++;
    } else {
        const uint8_t* data = in.bytes.data();
        int64_t left = in.size;
        bool flushed = false;
        while (!flushed) {
            uint8_t* out = nullptr;
            int out_size = 0;
            const int chunk = int(left > (1 << 20) ? (1 << 20) : left);
            const int used = av_parser_parse2(parser, ctx, &out, &out_size, data, chunk,
                                              AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (used < 0) {
                result.failures++;
                break;
            }
            data += used;
            left -= used;
            if (left == 0 && used == 0 && out_size == 0) flushed = true;
            if (out_size == 0) continue;
            pkt->data = out;
            pkt->size = out_size;
            if (avcodec_send_packet(ctx, pkt) < 0) {
                result.failures++;
                continue;
            }
            while (avcodec_receive_frame(ctx, frame) == 0) {
                const int channels = frame->ch_layout.nb_channels;
                const int count = frame_to_16(frame, channels);
                if (count == 0) continue;
                decode_keep(av_out[0] + av_out[count * channels - 1]);
                result.frames++;
                result.samples += count;
                if (keep != nullptr) {
                    keep->rate = frame->sample_rate;
                    keep->channels = channels;
                    for (int i = 0; i < count; i++) {
                        keep->left.push_back(av_out[i * channels]);
                        if (channels == 2) keep->right.push_back(av_out[i * channels + 1]);
                    }
                }
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    if (parser != nullptr) av_parser_close(parser);
    avcodec_free_context(&ctx);
    return result;
}

tDecodeRun run_avcodec_fixed(const tInputFile& in, tPcm* keep) {
    return run_avcodec("mp3", in, keep);
}

tDecodeRun run_avcodec_float(const tInputFile& in, tPcm* keep) {
    return run_avcodec("mp3float", in, keep);
}

#endif

} // namespace

tPeer peer_avcodec_fixed() {
#ifdef VEXA_BENCH_HAVE_AVCODEC
    return {"lavc-fix", avcodec_find_decoder_by_name("mp3") != nullptr, run_avcodec_fixed};
#else
    return {"lavc-fix", false, nullptr};
#endif
}

tPeer peer_avcodec_float() {
#ifdef VEXA_BENCH_HAVE_AVCODEC
    return {"lavc-flt", avcodec_find_decoder_by_name("mp3float") != nullptr, run_avcodec_float};
#else
    return {"lavc-flt", false, nullptr};
#endif
}
