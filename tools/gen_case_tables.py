#!/usr/bin/env python3
"""Writes quillmatch-core/src/text/case_tables.cpp from the Unicode Character Database.

Usage: python3 tools/gen_case_tables.py [--ucd DIR] [--out FILE]

DIR defaults to tools/ucd in the repository (Unicode 17.0.0, under the Unicode
License v3: see tools/ucd/LICENSE) and must hold UnicodeData.txt and
DerivedCoreProperties.txt. FILE defaults to the committed
quillmatch-core/src/text/case_tables.cpp. The output depends only on those two
files, so regenerating from the same data gives the same bytes.

Layout of the generated tables (both are two-level, indexed by cp >> 8, then
by cp & 0xFF):

* lowercase: 256-entry blocks of int32 deltas (lowercase - cp). Deltas reach
  beyond the int16 range (U+A7xx letters map down into U+02xx), so int32 it is.
  A zero delta means "no mapping".
* properties: per block, 4 uint64 words of Cased bits followed by 4 words of
  Case_Ignorable bits, so both properties share one stage-1 index.

Identical blocks are stored once; blocks are numbered in order of first use.
"""

import argparse
import os
import re
import sys

MAX_CP = 0x10FFFF
BLOCK_BITS = 8
BLOCK_SIZE = 1 << BLOCK_BITS
NUM_BLOCKS = (MAX_CP + 1) >> BLOCK_BITS  # 4352 stage-1 entries
WORDS_PER_PROP = BLOCK_SIZE // 64

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_UCD = os.path.join(REPO, "tools", "ucd")
DEFAULT_OUT = os.path.join(REPO, "quillmatch-core", "src", "text", "case_tables.cpp")

PROPERTIES = ("Cased", "Case_Ignorable")


class DataError(Exception):
    pass


def parse_lowercase(path):
    """Returns {cp: simple lowercase} for every code point that has one."""
    mapping = {}
    with open(path, encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            fields = line.split(";")
            if len(fields) != 15:
                raise DataError("%s:%d: expected 15 fields, got %d" % (path, lineno, len(fields)))
            cp = int(fields[0], 16)
            # <..., First> / <..., Last> lines stand for whole ranges but carry no
            # case mappings, so reading them as single code points loses nothing.
            if fields[13]:
                lower = int(fields[13], 16)
                if cp > MAX_CP or lower > MAX_CP:
                    raise DataError("%s:%d: code point out of range" % (path, lineno))
                if cp in mapping:
                    raise DataError("%s:%d: U+%04X listed twice" % (path, lineno, cp))
                mapping[cp] = lower
    return mapping


_PROP_LINE = re.compile(r"^([0-9A-Fa-f]{4,6})(?:\.\.([0-9A-Fa-f]{4,6}))?$")


def parse_properties(path, names):
    """Returns {name: set of code points} for the binary properties `names`."""
    sets = {name: set() for name in names}
    with open(path, encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            fields = [x.strip() for x in data.split(";")]
            # Enumerated properties (e.g. InCB) have a third field; skip them.
            if len(fields) != 2 or fields[1] not in sets:
                continue
            m = _PROP_LINE.match(fields[0])
            if not m:
                raise DataError("%s:%d: bad code point field %r" % (path, lineno, fields[0]))
            first = int(m.group(1), 16)
            last = int(m.group(2), 16) if m.group(2) else first
            if not first <= last <= MAX_CP:
                raise DataError("%s:%d: bad range" % (path, lineno))
            sets[fields[1]].update(range(first, last + 1))
    for name, cps in sets.items():
        if not cps:
            raise DataError("%s: property %s not found" % (path, name))
    return sets


def read_version(path):
    """The Unicode version from the first line, e.g. '# DerivedCoreProperties-17.0.0.txt'."""
    with open(path, encoding="utf-8") as f:
        m = re.match(r"#\s*DerivedCoreProperties-([0-9.]+)\.txt", f.readline())
    return m.group(1) if m else None


def check_expected(mapping):
    """Facts the data must show; a different or damaged UCD fails here."""
    above_ascii = sorted(cp for cp in mapping if cp > 0x7F)
    problems = []
    if len(above_ascii) != 1462:
        problems.append("expected 1462 mapped code points above U+007F, found %d" % len(above_ascii))
    if not above_ascii or above_ascii[0] != 0x00C0:
        problems.append("expected U+00C0 to be the first mapped code point above U+007F")
    if mapping.get(0x0130) != 0x0069:
        problems.append("expected U+0130 -> U+0069")
    for cp in (0x1C89, 0xA7CE, 0xA7D2, 0xA7D4):
        if cp not in mapping:
            problems.append("expected U+%04X to have a lowercase mapping" % cp)
    if problems:
        raise DataError("; ".join(problems))


def two_level(values_for_block):
    """Splits the code space into blocks, deduplicates them.

    values_for_block(b) returns a hashable tuple for block b. Returns the
    stage-1 list (block number per cp >> 8) and the list of distinct blocks.
    """
    index = []
    blocks = []
    seen = {}
    for b in range(NUM_BLOCKS):
        values = values_for_block(b)
        n = seen.get(values)
        if n is None:
            n = seen[values] = len(blocks)
            blocks.append(values)
        index.append(n)
    return index, blocks


def build_tables(mapping, props):
    def deltas(b):
        base = b << BLOCK_BITS
        return tuple(mapping.get(cp, cp) - cp for cp in range(base, base + BLOCK_SIZE))

    def bits(b):
        base = b << BLOCK_BITS
        words = []
        for name in PROPERTIES:
            cps = props[name]
            for w in range(WORDS_PER_PROP):
                word = 0
                for i in range(64):
                    if base + w * 64 + i in cps:
                        word |= 1 << i
                words.append(word)
        return tuple(words)

    lower = two_level(deltas)
    prop = two_level(bits)
    # Stage-1 entries are uint8 or uint16 (see index_type); more blocks than
    # that would need a wider index type.
    for _, blocks in (lower, prop):
        if len(blocks) > 0x10000:
            raise DataError("too many distinct blocks: %d" % len(blocks))
    return lower, prop


def verify(mapping, props, lower, prop):
    """Decodes every code point back out of the tables, as the C++ lookups do."""
    l_index, l_blocks = lower
    p_index, p_blocks = prop
    for cp in range(MAX_CP + 1):
        hi, lo = cp >> BLOCK_BITS, cp & (BLOCK_SIZE - 1)
        if cp + l_blocks[l_index[hi]][lo] != mapping.get(cp, cp):
            raise DataError("lowercase table wrong at U+%04X" % cp)
        words = p_blocks[p_index[hi]]
        for k, name in enumerate(PROPERTIES):
            bit = (words[k * WORDS_PER_PROP + (lo >> 6)] >> (lo & 63)) & 1
            if bool(bit) != (cp in props[name]):
                raise DataError("%s table wrong at U+%04X" % (name, cp))


def index_type(blocks):
    return "std::uint8_t" if len(blocks) <= 0x100 else "std::uint16_t"


def format_rows(items, per_line, indent="    "):
    lines = []
    for i in range(0, len(items), per_line):
        lines.append(indent + ", ".join(items[i:i + per_line]) + ",")
    return lines


def render(version, lower, prop):
    l_index, l_blocks = lower
    p_index, p_blocks = prop
    l_type, p_type = index_type(l_blocks), index_type(p_blocks)
    l_bytes = len(l_index) * (1 if l_type == "std::uint8_t" else 2) + len(l_blocks) * BLOCK_SIZE * 4
    p_bytes = len(p_index) * (1 if p_type == "std::uint8_t" else 2) + len(p_blocks) * len(PROPERTIES) * BLOCK_SIZE // 8

    out = []
    w = out.append
    w("// Generated by tools/gen_case_tables.py; do not edit.")
    w("// GENERATED FILE - DO NOT EDIT.")
    w("//")
    if version:
        w("// Source: Unicode Character Database %s (UnicodeData.txt, field 13;" % version)
    else:
        w("// Source: Unicode Character Database (UnicodeData.txt, field 13;")
    w("// DerivedCoreProperties.txt, Cased and Case_Ignorable).")
    w("//")
    w("// Both tables are two-level: stage 1 is indexed by cp >> 8 over the whole")
    w("// code space (%d entries), stage 2 holds deduplicated 256-entry blocks." % NUM_BLOCKS)
    w("// Code points above U+10FFFF are answered before any table is read.")
    w("//")
    w("// lowercase: %d blocks of int32 deltas, %d bytes in all." % (len(l_blocks), l_bytes))
    w("// properties: %d blocks of 4 Cased words then 4 Case_Ignorable words," % len(p_blocks))
    w("// bit (cp & 63) of word ((cp & 0xFF) >> 6); %d bytes in all." % p_bytes)
    w("")
    w('#include "text/case_tables.h"')
    w("")
    w("#include <cstddef>")
    w("#include <cstdint>")
    w("")
    w("namespace quillmatch::unicode {")
    w("namespace {")
    w("")
    w("constexpr char32_t kMaxCodePoint = 0x10FFFF;")
    w("constexpr unsigned kBlockBits = %d;" % BLOCK_BITS)
    w("constexpr char32_t kBlockMask = 0x%X;" % (BLOCK_SIZE - 1))
    w("constexpr std::size_t kStage1Size = %d;" % NUM_BLOCKS)
    w("constexpr std::size_t kWordsPerProperty = %d;" % WORDS_PER_PROP)
    w("// Every cp <= kMaxCodePoint has a stage-1 entry, so the bound check in each")
    w("// lookup is the only one needed.")
    w("static_assert((kMaxCodePoint >> kBlockBits) + 1 == kStage1Size);")
    w("")
    w("constexpr %s kLowerIndex[kStage1Size] = {" % l_type)
    out.extend(format_rows([str(n) for n in l_index], 24))
    w("};")
    w("")
    w("constexpr std::int32_t kLowerDelta[%d][%d] = {" % (len(l_blocks), BLOCK_SIZE))
    for n, block in enumerate(l_blocks):
        w("    {  // %d" % n)
        out.extend(format_rows([str(d) for d in block], 16, "        "))
        w("    },")
    w("};")
    w("")
    w("constexpr %s kPropIndex[kStage1Size] = {" % p_type)
    out.extend(format_rows([str(n) for n in p_index], 24))
    w("};")
    w("")
    w("constexpr std::uint64_t kPropBits[%d][%d] = {" % (len(p_blocks), len(PROPERTIES) * WORDS_PER_PROP))
    for n, block in enumerate(p_blocks):
        w("    {  // %d: Cased, then Case_Ignorable" % n)
        for k in range(len(PROPERTIES)):
            row = block[k * WORDS_PER_PROP:(k + 1) * WORDS_PER_PROP]
            out.extend(format_rows(["0x%016X" % x for x in row], WORDS_PER_PROP, "        "))
        w("    },")
    w("};")
    w("")
    w("// REQUIRES: cp <= kMaxCodePoint. `which` is 0 for Cased, 1 for Case_Ignorable.")
    w("inline bool prop_bit(char32_t cp, std::size_t which) {")
    w("  const std::uint64_t* words = kPropBits[kPropIndex[cp >> kBlockBits]];")
    w("  const char32_t lo = cp & kBlockMask;")
    w("  return ((words[which * kWordsPerProperty + (lo >> 6)] >> (lo & 63)) & 1) != 0;")
    w("}")
    w("")
    w("}  // namespace")
    w("")
    w("char32_t lowercase(char32_t cp) {")
    w("  if (cp > kMaxCodePoint) return cp;")
    w("  const std::int32_t delta = kLowerDelta[kLowerIndex[cp >> kBlockBits]][cp & kBlockMask];")
    w("  // Unsigned wrap-around adds a negative delta exactly; the sum is a scalar value.")
    w("  return cp + static_cast<char32_t>(delta);")
    w("}")
    w("")
    w("bool is_cased(char32_t cp) { return cp <= kMaxCodePoint && prop_bit(cp, 0); }")
    w("")
    w("bool is_case_ignorable(char32_t cp) { return cp <= kMaxCodePoint && prop_bit(cp, 1); }")
    w("")
    w("}  // namespace quillmatch::unicode")
    return "\n".join(out) + "\n", l_bytes, p_bytes


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ucd", default=DEFAULT_UCD, help="directory with the UCD files")
    ap.add_argument("--out", default=DEFAULT_OUT, help="C++ file to write")
    args = ap.parse_args(argv)

    unicode_data = os.path.join(args.ucd, "UnicodeData.txt")
    derived = os.path.join(args.ucd, "DerivedCoreProperties.txt")
    try:
        mapping = parse_lowercase(unicode_data)
        check_expected(mapping)
        props = parse_properties(derived, PROPERTIES)
        lower, prop = build_tables(mapping, props)
        verify(mapping, props, lower, prop)
        text, l_bytes, p_bytes = render(read_version(derived), lower, prop)
        with open(args.out, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    except (OSError, DataError) as e:
        print("gen_case_tables: error: %s" % e, file=sys.stderr)
        return 1
    print("wrote %s: lowercase %d bytes (%d blocks), properties %d bytes (%d blocks)"
          % (os.path.relpath(args.out), l_bytes, len(lower[1]), p_bytes, len(prop[1])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
