#!/usr/bin/env python3
"""Writes the decoder's own small MP3 fixtures (tests/fixtures/mp3/*.mp3).

  make_decoder_fixtures.py [OUTDIR]

Each fixture is 1.5 s of a test signal rendered at the file's rate and encoded by lame:
tones, a chirp and noise bursts, whose sharp onsets make lame switch to short blocks.
They cover the nine sampling rates, mono and stereo, CBR and VBR, and short blocks.
lame never writes mixed blocks, so the "mixed" files have the mixed-block flag set in
each of their short-block granules afterwards: their scale factors then read differently
and the sound is not meant to be heard, but every such granule takes the mixed-block
paths. The files are kept in the tree, so the tests never depend on the lame version;
run this only to make a new set (and then update the golden hashes).
"""
import math
import os
import random
import struct
import subprocess
import sys
import tempfile

SECONDS = 1.5

# name, rate, channels, lame options
FIXTURES = [
    ('s48_cbr320_stereo', 48000, 2, ['-b', '320', '-m', 's']),
    ('s44_cbr128_joint', 44100, 2, ['-b', '128', '-m', 'j']),
    ('s44_vbr2_joint', 44100, 2, ['-V', '2', '-m', 'j']),
    ('s44_mixed_joint', 44100, 2, ['-b', '160', '-m', 'j']),
    ('s32_cbr96_mono', 32000, 1, ['-b', '96', '-m', 'm']),
    ('s24_vbr4_stereo', 24000, 2, ['-V', '4', '-m', 's']),
    ('s22_cbr64_joint', 22050, 2, ['-b', '64', '-m', 'j']),
    ('s22_mixed_mono', 22050, 1, ['-b', '48', '-m', 'm']),
    ('s16_vbr5_mono', 16000, 1, ['-V', '5', '-m', 'm']),
    ('s12_cbr32_joint', 12000, 2, ['-b', '32', '-m', 'j']),
    ('s11_vbr6_stereo', 11025, 2, ['-V', '6', '-m', 's']),
    ('s8_cbr16_mono', 8000, 1, ['-b', '16', '-m', 'm']),
    ('s8_mixed_joint', 8000, 2, ['-b', '24', '-m', 'j']),
]


def render(rate, channels, seed):
    rnd = random.Random(seed)
    n = int(rate * SECONDS)
    out = []
    for i in range(n):
        t = i / rate
# A steady chord, a rising chirp and a noise burst every 0.25 s.
        v = 0.15 * math.sin(2 * math.pi * 440 * t) + 0.1 * math.sin(2 * math.pi * 1250 * t)
        v += 0.12 * math.sin(2 * math.pi * (100 + 1500 * t) * t)
        burst = (t % 0.25)
        if burst < 0.03:
            v += 0.5 * math.exp(-burst * 120) * (rnd.random() * 2 - 1)
        left = v
        right = 0.7 * v + 0.1 * math.sin(2 * math.pi * 660 * t)
        for s in ([left, right] if channels == 2 else [left]):
            out.append(max(-32768, min(32767, int(round(s * 32767)))))
    return out


def write_wav(path, rate, channels, samples):
    data = struct.pack('<%dh' % len(samples), *samples)
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVE')
        f.write(b'fmt ' + struct.pack('<IHHIIHH', 16, 1, channels, rate, rate * channels * 2,
                                      channels * 2, 16))
        f.write(b'data' + struct.pack('<I', len(data)) + data)


BITRATES = {3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
            2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def set_mixed_flags(data):
    """Sets mixed_block_flag in every short-block granule; returns the count."""
    d = bytearray(data)
    i = count = 0
    while i + 4 < len(d):
        ver, bri = (d[i + 1] >> 3) & 3, d[i + 2] >> 4
        sfi, pad, mode = (d[i + 2] >> 2) & 3, (d[i + 2] >> 1) & 1, d[i + 3] >> 6
        if d[i] != 0xFF or (d[i + 1] & 0xE0) != 0xE0 or ver == 1 or bri in (0, 15) or sfi == 3:
            i += 1
            continue
        mpeg1 = ver == 3
        rate = RATES[ver][sfi]
        length = (144000 if mpeg1 else 72000) * BITRATES[3 if mpeg1 else 2][bri] // rate + pad
        nch = 1 if mode == 3 else 2
        pos = 8 * (i + 4 + (0 if d[i + 1] & 1 else 2))  # bit position in the side info

        def read(n):
            nonlocal pos
            v = 0
            for _ in range(n):
                v = v << 1 | (d[pos >> 3] >> (7 - (pos & 7))) & 1
                pos += 1
            return v

        pos += (9 + (5 if nch == 1 else 3) + 4 * nch) if mpeg1 else (8 + (1 if nch == 1 else 2))
        for _ in range(2 if mpeg1 else 1):
            for _ in range(nch):
                pos += 12 + 9 + 8 + (4 if mpeg1 else 9)
                if read(1):
                    if read(2) == 2:
                        d[pos >> 3] |= 0x80 >> (pos & 7)
                        count += 1
                    pos += 1 + 10 + 9
                else:
                    pos += 15 + 4 + 3
                pos += 3 if mpeg1 else 2
        i += length
    return bytes(d), count


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'fixtures', 'mp3')
    os.makedirs(outdir, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for k, (name, rate, channels, opts) in enumerate(FIXTURES):
            wav = os.path.join(tmp, name + '.wav')
            write_wav(wav, rate, channels, render(rate, channels, k))
            mp3 = os.path.join(outdir, name + '.mp3')
            subprocess.run(['lame', '--quiet', '-t', '--resample', str(rate / 1000)] + opts +
                           [wav, mp3], check=True)
            if '_mixed_' in name:
                with open(mp3, 'rb') as f:
                    data, count = set_mixed_flags(f.read())
                if count == 0:
                    sys.exit(name + ': no short blocks to mix')
                with open(mp3, 'wb') as f:
                    f.write(data)


if __name__ == '__main__':
    main()
