#!/usr/bin/env python3
"""Writes samples/chime.wav: four decaying bell tones, 3 s of 16-bit stereo at 22050 Hz."""
import math
import struct
import sys

RATE = 22050
SECONDS = 3.0
NOTES = [523.25, 659.25, 783.99, 1046.5]  # C5 E5 G5 C6, one every half second


def main(path):
    frames = []
    for i in range(int(RATE * SECONDS)):
        t = i / RATE
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
              struct.pack('<IHHIIHH', 16, 1, 2, RATE, RATE * 4, 4, 16) +
              b'data' + struct.pack('<I', len(data)))
    with open(path, 'wb') as f:
        f.write(header + data)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'samples/chime.wav')
