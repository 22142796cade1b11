#!/usr/bin/env python3
"""Writes the decoder's code and band tables as C++ source.

Reads the standard's code tables (huffman_pairs.tsv, count1.tsv, sfb_bands.tsv) and writes
  mp3dec/huffman_tables.cpp  big-value code trees, pow43_table
  mp3dec/count1_table.h      count1 table A
  mp3dec/sfbtable.cpp        sfb_table
The files are kept in the tree; the build never runs this.

  gen_mp3_tables.py [--tables DIR] [--out REPO] [--check]

--check compares what would be written with the files in the tree and exits 1 when they
differ, 77 when the code tables are not there (the test then counts as skipped).
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_TABLES = os.path.join(REPO, "tools", "tables")
SKIPPED = 77

# linbits per table number 0..31.
LINBITS = [0] * 16 + [1, 2, 3, 4, 6, 8, 10, 13] + [4, 5, 6, 7, 8, 9, 11, 13]
# Table numbers that share a tree with the given code table; 0, 4 and 14 have none.
TREE_OF = {t: t for t in (1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15)}
TREE_OF.update({t: 16 for t in range(16, 24)})
TREE_OF.update({t: 24 for t in range(24, 32)})

# Tree layout: the first group indexes 3 bits, the next three levels 2 bits each, then 1 bit.
FIRST_LEVELS_BITS = 9
RUN = 7
MAX_DISTANCE_BYTES = 0x7FFF

# MPEG-2.5 band records: 11025 and 12000 Hz use the 16000 Hz record, 8000 Hz has its own.
SFB_8000_LONG = [0, 12, 24, 36, 48, 60, 72, 88, 108, 132, 160, 192, 232, 280, 336, 400, 476,
                 566, 568, 570, 572, 574, 576]
SFB_8000_SHORT = [0, 8, 16, 24, 36, 52, 72, 96, 124, 160, 162, 164, 166, 192]
SFB_NAMES = ["MPEG-2, 22050 Hz", "MPEG-2, 24000 Hz", "MPEG-2, 16000 Hz",
             "MPEG-1, 44100 Hz", "MPEG-1, 48000 Hz", "MPEG-1, 32000 Hz",
             "MPEG-2.5, 11025 Hz", "MPEG-2.5, 12000 Hz", "MPEG-2.5, 8000 Hz"]

POW43_ENTRIES = 1027
POW43_SPLIT = 56  # below: 16 x round(x^(4/3) x 2^13); from here: round(x^(4/3) x 2^17)
POW43_SET = {38: 16745120}  # kept as the decoder has always had it


def rows(path):
    with open(path, encoding="utf-8") as f:
        lines = [ln.rstrip("\n") for ln in f if ln.strip() and not ln.startswith("#")]
    head = lines[0].split("\t")
    return [dict(zip(head, ln.split("\t"))) for ln in lines[1:]]


def fail(msg):
    sys.exit("gen_mp3_tables: " + msg)


def check_prefix_code(name, codes):
    kraft = sum(2.0 ** -len(c) for c in codes)
    if abs(kraft - 1.0) > 1e-12:
        fail(f"{name}: code is not complete")
    ordered = sorted(codes)
    for a, b in zip(ordered, ordered[1:]):
        if b.startswith(a):
            fail(f"{name}: {a} is a prefix of {b}")


def group_width(depth):
    if depth == 0:
        return 3
    if depth < FIRST_LEVELS_BITS:
        return 2
    return 1


def build_tree(num, codes, escape):
    """codes: {bit string: (x, y)}. Returns a list of (entry text, value) lines per group."""
    check_prefix_code(f"table {num}", codes)
    # Groups in breadth-first order so that every child lies after its parent.
    groups = [("", 0)]
    i = 0
    while i < len(groups):
        prefix, depth = groups[i]
        w = group_width(depth)
        for k in range(1 << w):
            bits = prefix + format(k, f"0{w}b")
            if not any(bits.startswith(c) for c in codes if len(c) <= depth + w):
                if not any(c.startswith(bits) for c in codes):
                    fail(f"table {num}: no code for {bits}")
                groups.append((bits, depth + w))
        i += 1
    # starts[j] is the index of group j's first entry.
    starts = [0]
    for _, depth in groups:
        starts.append(starts[-1] + (1 << group_width(depth)))
    child_at = {g[0]: starts[j] for j, g in enumerate(groups)}
    out = []
    for j, (prefix, depth) in enumerate(groups):
        w = group_width(depth)
        texts, values = [], []
        for k in range(1 << w):
            bits = prefix + format(k, f"0{w}b")
            hit = [c for c in codes if len(c) <= depth + w and bits.startswith(c)]
            entry = starts[j] + k
            if hit:
                c = hit[0]
                x, y = codes[c]
                if depth < FIRST_LEVELS_BITS:
                    n = len(c)
                else:
                    if len(c) != depth + 1:
                        fail(f"table {num}: {c} at the wrong depth")
                    n = (depth - FIRST_LEVELS_BITS) % RUN + 1
                esc = escape and (x == 15 or y == 15)
                texts.append(f"{'leaf_esc' if esc else 'leaf'}({n}, {x}, {y})")
                values.append(0x8000 | n << 10 | x << 6 | (esc and x == 15) << 5
                              | y << 1 | (esc and y == 15))
            else:
                dist = 2 * (child_at[bits] - entry)
                if not 0 < dist <= MAX_DISTANCE_BYTES:
                    fail(f"table {num}: child group out of reach")
                texts.append(f"node({dist})")
                values.append(dist)
        out.append((prefix, depth, texts, values))
    return out


def walk(tree, bits):
    """Decodes one code word from a bit string with the packed entries; returns (x, y, n)."""
    flat = [v for g in tree for v in g[3]]
    pos, t, used = 0, 0, 0
    for level in range(4):
        w = 3 if level == 0 else 2
        k = int(bits[pos:pos + w].ljust(w, "0"), 2)
        e = flat[t + k]
        if e & 0x8000:
            return (e >> 6) & 15, (e >> 1) & 15, (e >> 10) & 15
        t += k + e // 2
        pos += w
    used = FIRST_LEVELS_BITS
    while True:
        for j in range(1, RUN + 1):
            k = int(bits[pos]) if pos < len(bits) else 0
            e = flat[t + k]
            if e & 0x8000:
                return (e >> 6) & 15, (e >> 1) & 15, used + ((e >> 10) & 15)
            t += k + e // 2
            pos += 1
        used += RUN


def cube_root_rounded(n):
    """round(n^(1/3)) for a non-negative integer, exactly."""
    lo, hi = 0, 1
    while hi ** 3 <= n:
        hi *= 2
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if mid ** 3 <= n:
            lo = mid
        else:
            hi = mid
    # n^(1/3) < lo + 1/2  <=>  8n < (2 lo + 1)^3 (never equal: the left side is even)
    return lo if 8 * n < (2 * lo + 1) ** 3 else lo + 1


def pow43_values():
    t = []
    for x in range(POW43_ENTRIES):
        if x < POW43_SPLIT:
            t.append(16 * cube_root_rounded(x ** 4 << 39))
        else:
            t.append(cube_root_rounded(x ** 4 << 51))
    for x, v in POW43_SET.items():
        t[x] = v
    assert all(v < 2 ** 31 for v in t)
    return t


GEN_NOTE = "// Generated by tools/gen_mp3_tables.py from the standard's code tables; edit that\n" \
           "// and regenerate.\n"


def huffman_source(pairs):
    by_table = {}
    for r in pairs:
        by_table.setdefault(int(r["table"]), {})[r["code"]] = (int(r["x"]), int(r["y"]))
        if len(r["code"]) != int(r["length"]):
            fail(f"table {r['table']}: length of {r['code']}")
    if sorted(by_table) != sorted(set(TREE_OF.values())):
        fail("unexpected set of code tables")
    out = ["// Big-value code trees and the power-4/3 table of the Huffman stage.\n",
           GEN_NOTE, '#include "huffman_tables.h"\n\nnamespace mp3 {\n\n// clang-format off\n']
    for num in sorted(by_table):
        codes = by_table[num]
        escape = max(x for x, _ in codes.values()) == 15
        tree = build_tree(num, codes, escape)
        for c, xy in codes.items():  # every code word decodes to itself through the packing
            x, y, n = walk(tree, c + "0" * 24)
            if (x, y) != xy or n != len(c):
                fail(f"table {num}: {c} walks to {(x, y, n)}")
        size = sum(len(g[3]) for g in tree)
        longest = max(len(c) for c in codes)
        serves = [t for t in range(32) if TREE_OF.get(t) == num]
        label = f"table {num}" if len(serves) == 1 else f"tables {serves[0]} to {serves[-1]}"
        out.append(f"// Code tree of {label}: {len(codes)} codes of up to {longest} bits.\n")
        out.append(f"constexpr std::array<uint16_t, {size}> tree{num} = {{\n")
        for prefix, depth, texts, _ in tree:
            lead = f"    /* {prefix or '-'} */ "
            for k in range(0, len(texts), 4):
                out.append((lead if k == 0 else " " * len(lead)) + ", ".join(texts[k:k + 4]) + ",\n")
        out.append("};\n")
        out.append(f"constexpr auto fast{num} = huff_fast_table<{longest}>(tree{num});\n")
    out.append("\n// Tree, first-level table and linbits of each table number.\n"
               "const tHuffTable huff_tables[32] = {\n")
    for t in range(32):
        if t in TREE_OF:
            n = TREE_OF[t]
            rec = f"tree{n}.data(), fast{n}.data(), huff_fast_shift(fast{n})"
        else:
            rec = "nullptr, nullptr, 0"
        out.append(f"    {{{rec}, {LINBITS[t]}}}, // {t}\n")
    out.append("};\n")

    t = pow43_values()
    out.append("\n// pow43_table[x]: x^(4/3), Q17 (the entries below 56 rounded in Q13, then\n"
               "// scaled by 16).\n")
    out.append(f"constexpr std::array<int32_t, POW43_ENTRIES> pow43_table = {{\n")
    for i in range(0, POW43_ENTRIES, 8):
        out.append("   " + "".join(f" {v:>10}," for v in t[i:i + 8]) + f" // {i}\n")
    out.append("};\n// clang-format on\n\n} // namespace mp3\n")
    return "".join(out)


def count1_header(count1):
    out = ["// count1 table A of the Huffman stage, a constant the decoder builds its quadruple\n"
           "// tables from at compile time.\n", GEN_NOTE,
           '#pragma once\n\n#include "huffman_tables.h"\n\nnamespace mp3 {\n\n// clang-format off\n']
    quads = {}
    for r in count1:
        if r["table"] != "A":
            continue
        q = tuple(int(r[k]) for k in "vwxy")
        if len(r["code"]) != int(r["length"]):
            fail(f"count1 A: length of {r['code']}")
        quads[r["code"]] = q
    check_prefix_code("count1 A", quads)
    if quads.get("1") != (0, 0, 0, 0):
        fail("count1 A: (0, 0, 0, 0) is not coded 1")
    out.append("// count1 table A after a leading 0 bit, indexed by the next 5 bits.\n")
    out.append("inline constexpr std::array<uint16_t, 32> count1_a = {\n")
    for k in range(32):
        bits = "0" + format(k, "05b")
        hit = [c for c in quads if bits.startswith(c)]
        if len(hit) != 1:
            fail(f"count1 A: no code for {bits}")
        v, w, x, y = quads[hit[0]]
        out.append(f"    quad({len(hit[0])}, {v}, {w}, {x}, {y}), // {bits}\n")
    out.append("};\n")
    # Table B is not stored: the decoder uses its rule (a value is 1 when its code bit is 0).
    for r in count1:
        if r["table"] == "B":
            want = "".join("0" if r[k] == "1" else "1" for k in "vwxy")
            if r["code"] != want or int(r["length"]) != 4:
                fail(f"count1 B: {r['code']} does not follow the rule")

    out.append("// clang-format on\n\n} // namespace mp3\n")
    return "".join(out)


def sfb_source(bands):
    rec = {}
    for r in bands:
        rec.setdefault(int(r["record"]), {})[r["kind"]] = [int(v) for v in r["bounds"].split(",")]
    if sorted(rec) != list(range(6)):
        fail("sfb_bands: records 0..5 expected")
    rec[6] = rec[2]
    rec[7] = rec[2]
    rec[8] = {"long": SFB_8000_LONG, "short": SFB_8000_SHORT}
    out = ["// Scale-factor-band bounds of every version and sampling frequency.\n", GEN_NOTE,
           '#include "stages.h"\n\nnamespace mp3 {\n\n',
           "// Record version x 3 + sampling_frequency: long-band start lines 0..21 and 576,\n"
           "// short-band start lines 0..12 within one window and 192.\n",
           "// clang-format off\nconst tSfbRecord sfb_table[9] = {\n"]
    for i in range(9):
        lo, sh = rec[i]["long"], rec[i]["short"]
        if len(lo) != 23 or lo[-1] != 576 or len(sh) != 14 or sh[-1] != 192:
            fail(f"sfb record {i}: wrong bounds")
        if any(b <= a or a % 2 for a, b in zip(lo, lo[1:])) or any(b <= a for a, b in zip(sh, sh[1:])):
            fail(f"sfb record {i}: bounds not rising by even steps")
        out.append(f"    // {i}: {SFB_NAMES[i]}\n")
        out.append("    {{" + ", ".join(map(str, lo)) + "},\n")
        out.append("     {" + ", ".join(map(str, sh)) + "}},\n")
    out.append("};\n// clang-format on\n\n} // namespace mp3\n")
    return "".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tables", default=DEFAULT_TABLES)
    ap.add_argument("--out", default=REPO)
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
    if not os.path.isdir(a.tables):
        print(f"gen_mp3_tables: no code tables in {a.tables}")
        return SKIPPED if a.check else 1
    files = {
        "mp3dec/huffman_tables.cpp": huffman_source(rows(os.path.join(a.tables, "huffman_pairs.tsv"))),
        "mp3dec/count1_table.h": count1_header(rows(os.path.join(a.tables, "count1.tsv"))),
        "mp3dec/sfbtable.cpp": sfb_source(rows(os.path.join(a.tables, "sfb_bands.tsv"))),
    }
    stale = 0
    for rel, text in files.items():
        path = os.path.join(a.out, rel)
        if a.check:
            try:
                with open(path, encoding="utf-8") as f:
                    same = f.read() == text
            except OSError:
                same = False
            if not same:
                print(f"gen_mp3_tables: {rel} is not what the tables give; regenerate it")
                stale = 1
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    return stale


if __name__ == "__main__":
    sys.exit(main())
