#!/usr/bin/env python3
"""Writes the bundled samples: four decaying bell tones, 3 s of 16-bit stereo.

  make_chime.py [samples/chime.wav]        the tones as a WAV file at 22050 Hz
  make_chime.py --mp3 [samples/chime.mp3]  the same tones rendered at 44100 Hz and encoded
                                           by lame at 128 kbit/s joint stereo
"""
import math
import os
import struct
import subprocess
import sys
import tempfile

RATE = 22050
MP3_RATE = 44100
SECONDS = 3.0
NOTES = [523.25, 659.25, 783.99, 1046.5]  # C5 E5 G5 C6, one every half second
LAME_OPTIONS = ['--quiet', '-b', '128', '-m', 'j', '-q', '2', '--resample', '44.1']


def render(rate):
    frames = []
    for i in range(int(rate * SECONDS)):
        t = i / rate
        v = 0.0
        for k, f in enumerate(NOTES):
            tt = t - k * 0.5
            if tt >= 0:
                v += 0.22 * math.exp(-tt * 2.5) * math.sin(2 * math.pi * f * tt) * (1 - math.exp(-tt * 200))
        left = max(-32768, min(32767, round(v * 32767)))
        right = max(-32768, min(32767, round(v * 0.8 * 32767)))
        frames.append(struct.pack('<hh', left, right))
    data = b''.join(frames)
    header = (b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVE' + b'fmt ' +
              struct.pack('<IHHIIHH', 16, 1, 2, rate, rate * 4, 4, 16) +
              b'data' + struct.pack('<I', len(data)))
    return header + data


def main(args):
    if args and args[0] == '--mp3':
        path = args[1] if len(args) > 1 else 'samples/chime.mp3'
        with tempfile.TemporaryDirectory() as tmp:
            wav = os.path.join(tmp, 'chime44100.wav')
            with open(wav, 'wb') as f:
                f.write(render(MP3_RATE))
            subprocess.run(['lame'] + LAME_OPTIONS + [wav, path], check=True)
        return
    path = args[0] if args else 'samples/chime.wav'
    with open(path, 'wb') as f:
        f.write(render(RATE))


if __name__ == '__main__':
    main(sys.argv[1:])
