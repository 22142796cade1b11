// Peer decoders for the decoder benchmark: libmad and libmpg123, used as black boxes
// through their public calls. A peer whose library was missing at build time reports
// itself as not available.
#include "bench_decode.h"

#include <cstdio>
#include <cstring>

#ifdef VEXA_BENCH_HAVE_MAD
#include <mad.h>
#endif
#ifdef VEXA_BENCH_HAVE_MPG123
#include <mpg123.h>
#endif

namespace {

#if defined(VEXA_BENCH_HAVE_MAD) || defined(VEXA_BENCH_HAVE_MPG123)
void keep_block(tPcm* keep, const int16_t* interleaved, int count, int channels) {
    for (int i = 0; i < count; i++) {
        keep->left.push_back(interleaved[i * channels]);
        if (channels == 2) keep->right.push_back(interleaved[i * channels + 1]);
    }
}
#endif

#ifdef VEXA_BENCH_HAVE_MAD

// libmad's samples are fixed point with MAD_F_FRACBITS fraction bits and a full scale
// of 1.0; they become 16-bit by the plain rounding of libmad's own example player.
int16_t mad_to_16(mad_fixed_t s) {
    s += mad_fixed_t{1} << (MAD_F_FRACBITS - 16);
    if (s >= MAD_F_ONE)
        s = MAD_F_ONE - 1;
    else if (s < -MAD_F_ONE)
        s = -MAD_F_ONE;
    return int16_t(s >> (MAD_F_FRACBITS + 1 - 16));
}

int16_t mad_out[1152 * 2];

tDecodeRun run_libmad(const tInputFile& in, tPcm* keep) {
    tDecodeRun result{0, 0, 0};
    mad_stream stream;
    mad_frame frame;
    static mad_synth synth; // 20 kB of PCM and filter state
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    // The zero tail stands in for MAD_BUFFER_GUARD: the last frame decodes whole.
    static_assert(BENCH_TAIL_BYTES >= MAD_BUFFER_GUARD);
    mad_stream_buffer(&stream, in.bytes.data(),
                      static_cast<unsigned long>(in.size) + MAD_BUFFER_GUARD);
    for (;;) {
        if (mad_frame_decode(&frame, &stream) == -1) {
            if (stream.error == MAD_ERROR_BUFLEN) break;
            if (MAD_RECOVERABLE(stream.error)) {
                // Lost sync before the first frame is normal; after it, a frame lost.
                if (stream.error != MAD_ERROR_LOSTSYNC || result.frames > 0) result.failures++;
                continue;
            }
            result.failures++;
            break;
        }
        mad_synth_frame(&synth, &frame);
        const int channels = synth.pcm.channels;
        const int count = synth.pcm.length;
        for (int i = 0; i < count; i++) {
            mad_out[i * channels] = mad_to_16(synth.pcm.samples[0][i]);
            if (channels == 2) mad_out[i * 2 + 1] = mad_to_16(synth.pcm.samples[1][i]);
        }
        decode_keep(mad_out[0] + mad_out[count * channels - 1]);
        result.frames++;
        result.samples += count;
        if (keep != nullptr) {
            keep->rate = int32_t(synth.pcm.samplerate);
            keep->channels = channels;
            keep_block(keep, mad_out, count, channels);
        }
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return result;
}

#endif

#ifdef VEXA_BENCH_HAVE_MPG123

// One handle per synthesis choice, made once: creating it is set-up, not decoding.
mpg123_handle* handles[2];
bool mpg123_ready;

mpg123_handle* make_handle(const char* decoder) {
    if (!mpg123_ready) {
        if (mpg123_init() != MPG123_OK) return nullptr;
        mpg123_ready = true;
    }
    int err = MPG123_OK;
    mpg123_handle* mh = mpg123_new(decoder, &err);
    if (mh == nullptr) return nullptr;
    // Every frame as it is: the Xing/LAME frame decodes as the silent frame it is and no
    // encoder delay or padding is cut, so all decoders give the same samples in the same
    // places.
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_IGNORE_INFOFRAME, 0);
    mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    // 16-bit signed output at the stream's own rate and channel count.
    mpg123_format_none(mh);
    const long* rates = nullptr;
    size_t nrates = 0;
    mpg123_rates(&rates, &nrates);
    for (size_t i = 0; i < nrates; i++)
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    return mh;
}

mpg123_handle* handle_for(int which) {
    if (handles[which] == nullptr) handles[which] = make_handle(which == 0 ? nullptr : "generic");
    return handles[which];
}

tDecodeRun run_mpg123_with(mpg123_handle* mh, const tInputFile& in, tPcm* keep) {
    tDecodeRun result{0, 0, 0};
    if (mh == nullptr || mpg123_open_feed(mh) != MPG123_OK) return {0, 0, 1};
    if (mpg123_feed(mh, in.bytes.data(), size_t(in.size)) != MPG123_OK) {
        mpg123_close(mh);
        return {0, 0, 1};
    }
    int channels = 2;
    for (;;) {
        off_t num = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        const int r = mpg123_decode_frame(mh, &num, &audio, &bytes);
        if (r == MPG123_NEW_FORMAT) continue; // read below, at the first samples
        if (r == MPG123_NEED_MORE || r == MPG123_DONE) break;
        if (r != MPG123_OK) {
            result.failures++;
            if (r == MPG123_ERR) break;
            continue;
        }
        if (bytes == 0) continue;
        if (result.frames == 0) {
            // A handle that decoded a stream of the same format before announces none.
            long rate = 0;
            int enc = 0;
            mpg123_getformat(mh, &rate, &channels, &enc);
            if (keep != nullptr) {
                keep->rate = int32_t(rate);
                keep->channels = channels;
            }
        }
        const int16_t* pcm = reinterpret_cast<const int16_t*>(audio);
        const int count = int(bytes / sizeof(int16_t)) / channels;
        decode_keep(pcm[0] + pcm[count * channels - 1]);
        result.frames++;
        result.samples += count;
        if (keep != nullptr) keep_block(keep, pcm, count, channels);
    }
    mpg123_close(mh);
    return result;
}

tDecodeRun run_mpg123(const tInputFile& in, tPcm* keep) {
    return run_mpg123_with(handle_for(0), in, keep);
}

tDecodeRun run_mpg123_generic(const tInputFile& in, tPcm* keep) {
    return run_mpg123_with(handle_for(1), in, keep);
}

#endif

} // namespace

tPeer peer_libmad() {
#ifdef VEXA_BENCH_HAVE_MAD
    return {"libmad", true, run_libmad};
#else
    return {"libmad", false, nullptr};
#endif
}

tPeer peer_mpg123() {
#ifdef VEXA_BENCH_HAVE_MPG123
    return {"mpg123", handle_for(0) != nullptr, run_mpg123};
#else
    return {"mpg123", false, nullptr};
#endif
}

tPeer peer_mpg123_generic() {
#ifdef VEXA_BENCH_HAVE_MPG123
    return {"mpg123-c", handle_for(1) != nullptr, run_mpg123_generic};
#else
    return {"mpg123-c", false, nullptr};
#endif
}

const char* peer_mpg123_decoder_name() {
#ifdef VEXA_BENCH_HAVE_MPG123
    if (handle_for(0) != nullptr) {
        const char* name = mpg123_current_decoder(handle_for(0));
        if (name != nullptr) return name;
    }
#endif
    return "-";
}

void peer_mpg123_finish() {
#ifdef VEXA_BENCH_HAVE_MPG123
    for (mpg123_handle*& mh : handles) {
        if (mh != nullptr) mpg123_delete(mh);
        mh = nullptr;
    }
#endif
}
