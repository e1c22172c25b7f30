// Pattern masks: for every code point, the bit mask of the pattern positions
// that hold it. Bit i of a mask is set exactly when pattern position i holds the
// code point looked up.
//
// Code points below U+0100 read a direct table, so ASCII and Latin-1 never touch
// the map. Higher code points go through an ordered map that holds only the code
// points occurring in the pattern; it is a sorted array searched by exact key, so
// a lookup never inserts and an absent code point reads as zero.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillmatch/quillmatch.h"
#include "text/text.h"

namespace quillmatch {

// The sorted distinct code points >= U+0100 of a pattern, and the index of a key.
class HighCodePoints {
 public:
  explicit HighCodePoints(std::span<const char32_t> pattern);
  std::size_t size() const { return keys_.size(); }
  // Index of `cp` among the keys, or size() when absent.
  std::size_t find(char32_t cp) const;

 private:
  std::vector<char32_t> keys_;
};

// One 64-bit word per code point; for patterns of at most 64 code points.
class WordMasks {
 public:
  static WordMasks from_code_points(std::span<const char32_t> pattern);

  std::uint64_t get(unsigned char byte) const { return table_[byte]; }
  std::uint64_t get(char32_t cp) const {
    if (cp < 256) return table_[cp];
    std::size_t k = high_.find(cp);
    return k < high_.size() ? high_masks_[k] : 0;
  }

 private:
  explicit WordMasks(std::span<const char32_t> pattern);
  std::uint64_t table_[256] = {};
  HighCodePoints high_;
  std::vector<std::uint64_t> high_masks_;
};

// The masks of an ASCII pattern of at most 64 bytes, for scanning one ASCII
// text. Only the entries the scan can read (the bytes of the pattern and of the
// text) are written, so building it costs O(m + n) stores, not the 2 KiB of a
// cleared table; every other entry stays unwritten and is never read.
//
// With `fold`, each pattern letter sets its bit under both cases, so reading a
// text byte b gives the positions i with lower(pattern[i]) == lower(b): the
// masks of the lowered pattern read with the lowered text, which for ASCII is
// exactly what folding both texts first would give.
class AsciiPairMasks {
 public:
  AsciiPairMasks(std::string_view pattern, std::string_view text, bool fold = false) {
    for (unsigned char b : text) table_[b] = 0;
    if (fold) {
      for (unsigned char b : pattern) table_[ascii_lower(b)] = table_[ascii_upper(b)] = 0;
      for (std::size_t i = 0; i < pattern.size(); ++i) {
        const auto b = static_cast<unsigned char>(pattern[i]);
        table_[ascii_lower(b)] |= std::uint64_t{1} << i;
        table_[ascii_upper(b)] |= std::uint64_t{1} << i;
      }
    } else {
      for (unsigned char b : pattern) table_[b] = 0;
      for (std::size_t i = 0; i < pattern.size(); ++i)
        table_[static_cast<unsigned char>(pattern[i])] |= std::uint64_t{1} << i;
    }
  }
  std::uint64_t get(unsigned char byte) const { return table_[byte]; }
  const std::uint64_t (&table() const)[256] { return table_; }

 private:
  std::uint64_t table_[256];  // deliberately left uninitialised
};

// W = (m + 63) / 64 words per code point; for patterns of 65 code points and
// more. Position i is bit i % 64 of word i / 64 of a row, and a row's W words
// are contiguous so the block scan walks them in order.
class BlockMasks {
 public:
  explicit BlockMasks(std::span<const char32_t> pattern);

  std::size_t words() const { return words_; }
  // A read-only row of W words; the zero row for a code point not in the pattern.
  const std::uint64_t* row(char32_t cp) const {
    if (cp < 256) return &table_[cp * words_];
    std::size_t k = high_.find(cp);
    return k < high_.size() ? &high_rows_[k * words_] : zero_row_.data();
  }

 private:
  std::size_t words_;
  std::vector<std::uint64_t> table_;  // 256 rows
  HighCodePoints high_;
  std::vector<std::uint64_t> high_rows_;
  std::vector<std::uint64_t> zero_row_;
};

// A byte from 0x80 up whose entry in a query's table by byte or code point is
// empty: a query of at most 64 code points sets at most 64 entries, so one of
// the 128 is.
inline unsigned char absent_byte(const std::uint64_t (&table)[256]) {
  unsigned char b = 0x80;
  while (table[b] != 0) ++b;
  return b;
}

// A batch query prepared once per batch call and only read afterwards.
// `masks` are byte-indexed when `fast` is set (pure ASCII query of 1 to 64
// bytes), and indexed by code point when `by_code_point` is; with case_insensitive each letter sets its bit in the
// entries of both cases, which for ASCII texts gives the same masks as folding
// both texts first, so fast-path candidates are never folded.
// `rows` are the same for a pure ASCII query of more than 64 bytes, in the
// layout of BlockMasks (position i is bit i % 64 of word i / 64) with each row
// padded with zero words to `row_words`, a multiple of 4.
struct PreparedQuery {
  PreparedQuery(TextView text, bool fold);

  std::string query;  // a copy of the query bytes, not folded
  std::uint64_t masks[256] = {};
  std::vector<std::uint64_t> rows;
  std::size_t row_words = 0;
  std::uint64_t length = 0;  // code points (bytes for an ASCII query)
  std::uint64_t top = 0;     // only bit length - 1 set when 1 <= length <= 64, else 0
  // fast: an ASCII query of 1 to 64 bytes, masks by byte. by_code_point: an
  // unfolded query of 1 to 64 code points, not all ASCII: masks by code point
  // below U+0100, and the masks of its code points from U+0100 up in `high`
  // (mask() reads both).
  bool fast = false;
  bool by_code_point = false;
  bool case_insensitive = false;
  std::vector<std::pair<char32_t, std::uint64_t>> high;
  // latin1: a query beyond ASCII of 1 to 64 code points that all lie below
  // U+0100, folded (to as many) when case_insensitive: `masks` by that code
  // point, an ASCII letter's in the entries of both cases when folding, as
  // fast's are by byte. Lane engines then read an ASCII candidate's bytes as
  // they read them for a fast query, and any other candidate narrowed to one
  // byte per code point (narrow_beyond_ascii), where `absent`, a byte of
  // 0x80 or above whose mask is empty, stands for a code point the query
  // lacks. For a fast query every byte from 0x80 up has an empty mask, 0x80
  // among them.
  bool latin1 = false;
  unsigned char absent = 0x80;

  // Whether the lane engines take the query: ASCII or latin1, 1 to 64 code
  // points.
  bool lanes() const { return fast || latin1; }

  // The mask of a code point. REQUIRES: by_code_point.
  std::uint64_t mask(char32_t cp) const {
    if (cp < 256) return masks[cp];
    for (const auto& [c, m] : high)
      if (c == cp) return m;
    return 0;
  }
};

}  // namespace quillmatch
