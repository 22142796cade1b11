/* mp3towav IN.mp3 OUT.wav: an MPEG audio Layer III file to a 16-bit WAV file through
 * vexa's stream decoder. Build: cc mp3towav.c $(pkg-config --cflags --libs vexa-mp3dec) */
#include <vexa/mp3dec.h>

#include <stdio.h>

static void put(FILE* f, uint32_t v, int bytes) { /* little-endian */
    for (int i = 0; i < bytes; i++)
        fputc((int)((v >> (8 * i)) & 0xFF), f);
}

static void wav_header(FILE* f, uint32_t rate, uint32_t channels, uint32_t data_bytes) {
    fputs("RIFF", f), put(f, 36 + data_bytes, 4), fputs("WAVEfmt ", f), put(f, 16, 4);
    put(f, 1, 2), put(f, channels, 2), put(f, rate, 4), put(f, rate * channels * 2, 4);
    put(f, channels * 2, 2), put(f, 16, 2), fputs("data", f), put(f, data_bytes, 4);
}

int main(int argc, char** argv) {
    static uint8_t bytes[4096];
    static int16_t pcm[MP3_STREAM_PCM_VALUES];
    FILE* in = argc == 3 ? fopen(argv[1], "rb") : NULL;
    FILE* out = in != NULL ? fopen(argv[2], "wb") : NULL;
    tMP3Stream* s = MP3StreamCreate();
    tMP3StreamFrame frame, first = {0};
    tMP3StreamStatus st = eStreamNeedInput;
    size_t held = 0, used = 0;
    uint32_t data_bytes = 0;
    if (out == NULL || s == NULL) return fprintf(stderr, "usage: mp3towav IN.mp3 OUT.wav\n"), 1;
    wav_header(out, 0, 0, 0); /* written again at the end with the real values */
    while (st == eStreamNeedInput) {
        if (used == held && (used = 0, held = fread(bytes, 1, sizeof bytes, in)) == 0)
            MP3StreamEnd(s); /* the file has ended: the frames still held come out */
        used += MP3StreamPush(s, bytes + used, held - used); /* takes what fits */
        while ((st = MP3StreamPull(s, pcm, MP3_STREAM_PCM_VALUES, MP3_PCM_INTERLEAVED, &frame)) !=
                   eStreamNeedInput &&
               st != eStreamEnd && !MP3StreamStatusIsFatal(st)) {
            if (st != eStreamFrame) continue;   /* a frame the decoder refused: go on */
            if (data_bytes == 0) first = frame; /* the WAV takes the first frame's format */
            for (int i = 0; i < frame.samples * frame.channels; i++)
                put(out, (uint16_t)pcm[i], 2);
            data_bytes += (uint32_t)(2 * frame.samples * frame.channels);
        }
    }
    MP3StreamDestroy(s);
    fclose(in);
    rewind(out), wav_header(out, (uint32_t)first.sample_rate, (uint32_t)first.channels, data_bytes);
    if (fclose(out) != 0 || st != eStreamEnd || data_bytes == 0)
        return fprintf(stderr, "mp3towav: %s: %s\n", argv[1], MP3StreamStatusName(st)), 1;
    return 0;
}
