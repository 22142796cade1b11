#!/usr/bin/env python3
"""Recomputes the expected values that the decoder's stage tests write out as numbers.

    gen_test_expectations.py [TESTS_DIR]          print the tables
    gen_test_expectations.py --check [TESTS_DIR]  exit 1 unless the tests hold them

TESTS_DIR defaults to tests/. Covered: the requantisation and stereo tables of
mp3spectral_test.cpp and the power-4/3 values of mp3huffman_test.cpp. The values come from
the formulas, not from the decoder: gains 2^(E/4) split into a shift and a Q30 factor
2^((E & 3)/4), intensity ratios 1/(1 + tan(p pi/12)) and 2^(-e/4) in Q30, 1/sqrt(2) in
Q31, each constant rounded to nearest; products keep the upper 32 bits of the 64-bit
product (rounded down), shifts are arithmetic and sums wrap at 32 bits; x^(4/3) is rounded
with exact integer cube roots. All in Python's exact integers. Read from the tests are only
the band bounds (the kRec records, which the test compares with the decoder's table) and
the arguments of the power-4/3 pairs.
"""
import math
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TESTS = os.path.join(HERE, '..', 'tests')
INT32_MIN = -(1 << 31)


def q(value, frac):
    return int(round(value * (1 << frac)))


POW2_QUARTER = [q(2 ** (r / 4), 30) for r in range(4)]
IS_MPEG1 = [q(1 / (1 + math.tan(p * math.pi / 12)), 30) for p in range(7)]
MS_FACTOR = q(1 / math.sqrt(2), 31)
PRETAB = [0] * 11 + [1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0]


def wrap(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >> 31 else v


def hi(a, b):
    return (a * b) >> 32


def scale(v, e):
    """v (Q13) x 2^(e/4), to Q27."""
    f, k = POW2_QUARTER[e & 3], (e >> 2) + 16
    return wrap(2 * hi(f, wrap(v << (k - 1)))) if k > 0 else hi(f, v) >> -k


def band_walk(rec, count, gain, sf, block_type=0, mixed=0, sbg=0, flags=0):
    """(first, end, E) of each band and window that the requantiser scales."""
    L, S = rec
    g, m, preflag = gain - 210, 4 if flags & 2 else 2, flags & 4
    long_end = 576 if block_type != 2 else 36 if mixed else 0
    sf = iter(list(sf) + [0] * 40)
    out, l, b, switched = [], 0, 0, False
    while l < count:
        if l < long_end:
            end = min(L[b + 1], count)
            out.append((l, end, g - m * (next(sf) + (PRETAB[b] if preflag else 0))))
            l, b = end, b + 1
            continue
        if mixed and not switched:
            # The first short band of a mixed block; at 8000 Hz the last 4 lines of band 1.
            switched = True
            b, width = (1, 4) if S[3] == 24 else (3, S[4] - S[3])
        else:
            width = S[b + 1] - S[b]
        for w in range(3):
            width = min(width, count - l)
            out.append((l, l + width, g - 8 * ((sbg >> (6 - 3 * w)) & 7) - m * next(sf)))
            l += width
        b += 1
    return [s for s in out if s[0] < s[1]]


def segments(*args, **kw):
    return [(a, z, scale(8192, e)) for a, z, e in band_walk(*args, **kw)]


def mpeg1_is(left, p):
    r = wrap(4 * hi(IS_MPEG1[p], left))
    return wrap(left - r), r


def mid_side(m, s):
    a, b = hi(MS_FACTOR, m), hi(MS_FACTOR, s)
    total = wrap(2 * wrap(a + b))
    return total, wrap(total - wrap(4 * b))


def mpeg2_is(left, pos, intensity_scale):
    if pos == 7:
        return left, 0
    e = ((pos + 1) >> 1) << intensity_scale
    f = q(2 ** (-(e & 3) / 4), 30) >> (e >> 2)
    if pos == 0:
        return left, left
    if pos & 1:
        return wrap(4 * hi(f, left)), left
    return left, wrap(4 * hi(f, left))


def icbrt(n):
    r = int(round(n ** (1 / 3)))
    while r ** 3 > n:
        r -= 1
    while (r + 1) ** 3 <= n:
        r += 1
    return r


def pow43(x, frac):
    """round(x^(4/3) x 2^frac)."""
    return (icbrt(8 * x ** 4 << 3 * frac) + 1) // 2


def pow43_entry(x):
    """The Huffman stage's table: Q17, from Q13 values for x < 56; entry 38 is pinned."""
    return 16745120 if x == 38 else 16 * pow43(x, 13) if x < 56 else pow43(x, 17)


def huffman_expectations():
    return [
        (None, 'M_SMALL', [pow43(x, 13) for x in range(16)]),
        ('Pow43Table, HandValues', 'want', lambda found: [(x, pow43_entry(x)) for x in found[::2]]),
    ]


def spectral_expectations(records):
    r44, r48, r8 = records['kRec44100'], records['kRec48000'], records['kRec8000']
    ident = range(40)
    inputs = [8192, -8192, 1, -1, 123456789, -987654321, 0x7FFFFFFF, INT32_MIN]
    sf = [0, 10, 22, 23, 40, 50, 54, 55, 100, 255]
    exact = [scale(inputs[i % 8], e) for a, z, e in band_walk(r44, 52, 255, sf)
             for i in range(a, z)]
    left = [100000003, -100000003]
    cases = [(134217728, 67108864), (-5, 3), (3, -5), (0x7FFFFFFF, 0x7FFFFFFF),
             (INT32_MIN, INT32_MIN), (123456789, -987654321), (0, 0), (-1, -1)]
    positions = list(range(16)) + [254, 255]
    return [
        ('Requantize, ExactValuesAcrossBothShiftDirections', 'expected', exact),
        ('Requantize, PureShortCutInsideBand6', 'segs',
         segments(r44, 95, 210, ident, block_type=2, sbg=0o123)),
        ('Requantize, MixedBelow36UsesLongBandsOnly', 'segs',
         segments(r44, 30, 210, ident, block_type=2, mixed=1, sbg=0o777)),
        ('Requantize, Mixed8000HzStartsWithFourLineWindows', 'segs',
         segments(r8, 576, 210, ident, block_type=2, mixed=1, sbg=0o102, flags=4)),
        ('Requantize, PureShortWithScalefacScaleIgnoresPreflag', 'segs',
         segments(r48, 576, 214, [i % 13 for i in ident], block_type=2, flags=6)),
        ('Requantize, PreflagAddsPretabToLongBands', 'segs',
         segments(r44, 576, 214, [b % 3 for b in range(21)], flags=6)),
        (None, 'kMpeg1Is', [mpeg1_is(x, p) for p in range(7) for x in left]),
        (None, 'kMidSide', [mid_side(x, 0) for x in left]),
        (None, 'kMpeg2Is', [mpeg2_is(x, p, s) for s in (0, 1) for p in positions for x in left]),
        ('Stereo, MidSideOnlyRoundsExactlyAndWraps', 'cases',
         [(m, s) + mid_side(m, s) for m, s in cases]),
    ]


NUMBER = re.compile(r'INT32_MIN|-?(?:0x[0-9A-Fa-f]+|\d+)')


def numbers(text):
    text = re.sub(r'//[^\n]*', '', text)
    return [INT32_MIN if t == 'INT32_MIN' else int(t, 0) for t in NUMBER.findall(text)]


def initialiser(source, test, name):
    """Numbers of the braced initialiser of `name` (in TEST*(test) when given), or None."""
    start = 0
    if test is not None:
        match = re.search(r'TEST(?:_F)?\(' + re.escape(test) + r'\)', source)
        if match is None:
            return None
        start = match.end()
    match = re.compile(r'\b' + name + r'(?:\[[^]]*\])*\s*=\s*\{').search(source, start)
    if match is None:
        return None
    depth, i = 0, match.end() - 1
    for i in range(match.end() - 1, len(source)):
        depth += {'{': 1, '}': -1}.get(source[i], 0)
        if depth == 0:
            break
    return numbers(source[match.end():i])


def flat(rows):
    return [v for row in rows for v in (row if isinstance(row, tuple) else (row,))]


def main(argv):
    check = bool(argv) and argv[0] == '--check'
    tests = ((argv[1:] if check else argv)[:1] or [DEFAULT_TESTS])[0]
    stale = 0
    for file in ('mp3spectral_test.cpp', 'mp3huffman_test.cpp'):
        path = os.path.join(tests, file)
        with open(path, encoding='utf-8') as f:
            source = f.read()
        if file == 'mp3huffman_test.cpp':
            tables = huffman_expectations()
        else:
            records = {}
            for name in ('kRec44100', 'kRec48000', 'kRec8000'):
                n = initialiser(source, None, name)
                records[name] = (n[:23], n[23:])
            tables = spectral_expectations(records)
        for test, name, rows in tables:
            found = initialiser(source, test, name)
            if callable(rows):
                rows = rows(found or [])
            where = f'{file}: {test + ": " if test else ""}{name}'
            if not check:
                print(where)
                print('   ', ', '.join('{' + ', '.join(map(str, r)) + '}' if isinstance(r, tuple)
                                        else str(r) for r in rows))
            elif found != flat(rows):
                print(f'{where} differs from the recomputed values', file=sys.stderr)
                stale += 1
    return 1 if stale else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
