// The deletion filter of edit distances with a fixed cutoff, for short texts:
// which indexed texts of the lengths it holds may lie within d of a query.
//
// A variant of a text is what is left of it once at most d of its code
// points are deleted. If ed(s, r) <= d (Levenshtein or OSA), then s and r have
// a variant in common. Take an optimal alignment of s with r: its operations
// are substitutions, deletions from s, insertions into s and (OSA) swaps of
// two adjacent characters, no two touching the same character, and the
// characters between them are matched one to one, in order. Delete from s the
// character of every substitution and deletion, from r the character of every
// substitution and insertion; for a swap of xy into yx, delete x from both
// (from s the first character of the pair, from r the second), which leaves
// y matched with y. What is left of s and of r is then the same string: the
// matched characters and the survivors of the swaps, in the alignment's
// order. Each operation deletes at most one character from each side, so each
// side loses at most d. The lookup is therefore exact: a query looks up each
// of its own variants (at most d deletions) among the indexed variants, and
// every text within d of it shares one.
//
// A variant is keyed by a 64-bit hash of its bytes and the length of the text
// it comes from: a query looks up a variant of length m only for the partner
// lengths l it can come from, m <= l <= m + d. A collision, or a variant shared
// by texts farther apart than d, only returns a text that is then scored and
// dropped. A text's repeated variants (deleting either of two equal letters
// in a row gives the same string) are entered once.
//
// Equal texts (equal working forms, compared byte for byte) form one group,
// entered once under the group's number: a lookup finds the group, by as many
// of its variants as the query shares, and returns each of its texts once.
// Lists of names repeat many (a million Faker surnames with 0 to 2 typos hold
// 550 000 distinct ones).
//
// Layout. Each entry is a group's number and 16 bits of its key, bucketed by the
// key's top bits (a directory of one bucket per 4 to 8 entries) and sorted by
// those 16 bits within a bucket, then by group. A lookup reads one directory
// slot and binary-searches its bucket. A text of length l has at most
// sum_{k<=d} C(l, k) entries (fewer with repeated letters), at 6 bytes each,
// and the directory adds at most 1 byte an entry; a group takes 28 bytes (its
// head, read by a lookup in one place, and where its members start), a text
// 4. Counted on 100 000 Faker surnames (mean length 7.3) and on English
// words (8.4), at the lengths held (join.cpp: up to 12 at d = 1, 8 at d = 2
// and 3), bytes a held text:
//   d = 1: 7.9 entries, 81 bytes (words: 90)
//   d = 2: 23.5 entries, 192 bytes (words: 221)
//   d = 3: 49.3 entries, 375 bytes (words: 443)
// so 1 000 000 such texts take about 80, 190 and 375 MB (the texts
// themselves and the longer texts' segments apart), less where texts repeat.
// Measured whole by bench_join.py --short, an Index of cutoff 2 over a
// million distinct surnames holds 269 bytes a text, working texts, counts,
// the longer texts' segments and the table of texts (groups.h) included. The
// build enumerates the variants twice (once to count each bucket, once to
// fill it) rather than hold 16-byte (key, id) pairs for a sort, so its peak
// is the index itself; it runs in parts on the workers (deletions.cpp).
//
// Only a fixed cutoff is served here: with a normalized cutoff the threshold
// of a pair depends on the lengths, and those joins stay on the partition
// filter (join/segments.h), which handles per-pair thresholds.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "join/groups.h"
#include "join/texts.h"

namespace quillmatch::join {

// Calls f(hash, deletions) for each variant of a text with at most d deletions
// (hash: hash_bytes of its bytes), once per set of deleted code points, so a
// repeated variant comes as often as it can be made. `starts` are the text's
// code_point_starts; `buffer` is scratch.
template <class F>
void each_variant(std::string_view text, const std::vector<std::uint32_t>& starts, std::uint32_t d,
                  std::string& buffer, F&& f);

// Two sets of deletions leave the same variant only if the text repeats a
// code point (with all of them distinct, the code points a variant keeps name
// the positions kept), so a text with no byte twice has no repeated variant.
inline bool repeats_a_byte(std::string_view text) {
  std::uint64_t seen[4] = {};
  bool repeats = false;
  for (const unsigned char b : text) {
    repeats |= (seen[b >> 6] >> (b & 63)) & 1;
    seen[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  return repeats;
}

class DeletionIndex {
 public:
  // Holds the texts of lengths up to `longest` (the rest are left out), for
  // a fixed cutoff d.
  // REQUIRES: fewer than 2^32 texts, held_entries(texts, d, longest) < 2^32
  // and longest < 256.
  // Built on up to `workers` threads, from a task of meter's pool.
  DeletionIndex(const WorkingTexts& texts, std::uint32_t d, std::uint32_t longest, std::size_t workers,
                Meter& meter);

  // An upper bound on the entries of the texts of lengths up to `longest`.
  static std::uint64_t held_entries(const WorkingTexts& texts, std::uint32_t d, std::uint32_t longest);
  // The entries of a text of length l, before repeats are dropped.
  static std::uint64_t variants(std::uint64_t l, std::uint32_t d);

  // The longest length held.
  std::uint32_t longest() const { return longest_; }

  // Calls keep(id, length, counts, t) for every held text whose length lies
  // in [lo, hi] that may lie within t of the query, once, for t = d or, given
  // `within`, t = min(within, d): the argument above holds for any t <= d,
  // with the query's variants of at most t deletions looked up for the
  // lengths they may come from with at most t. Ids come in no particular
  // order. `scratch` is the caller's, reused from query to query.
  struct Scratch {
    std::string buffer;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> variants;  // (hash, length in code points)
    std::vector<std::uint32_t> groups;
    std::vector<std::uint32_t> seen;  // the groups found, by hash (kNoGroup: a free slot)
    std::vector<std::pair<std::uint32_t, std::uint32_t>> matched;  // (group, partner length) by tag
    struct Probe {
      std::uint64_t key;
      std::uint32_t length, from;  // a partner length; then where its bucket begins
    };
    std::vector<Probe> probes;
  };
  template <class Keep>
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, std::optional<std::uint64_t> within,
                  Scratch& scratch, Keep&& keep) const;

  std::size_t bytes() const {
    return (groups_.size() + equal_.members.size() + equal_.from.size()) * sizeof(std::uint32_t) +
           tags_.size() * sizeof(std::uint16_t) + directory_.size() * sizeof(std::uint32_t) +
           heads_.size() * sizeof(GroupHead);
  }

 private:
  static std::uint64_t key(std::uint64_t bytes_hash, std::uint32_t length) {
    std::uint64_t h = bytes_hash ^ (std::uint64_t{length} * 0xD6E8FEB86659FD93ull);
    h ^= h >> 32;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return h;
  }
  std::size_t slot(std::uint64_t k) const { return static_cast<std::size_t>(k >> shift_); }
  // No group has this number (fewer than 2^32 texts, so fewer groups).
  static constexpr std::uint32_t kNoGroup = UINT32_MAX;
  std::uint16_t tag(std::uint64_t k) const { return static_cast<std::uint16_t>((k << bits_) >> 48); }
  // The distinct keys of one text's variants, with its length.
  void text_keys(std::size_t id, std::vector<std::uint32_t>& starts, std::string& buffer,
                 std::vector<std::uint64_t>& out) const;
  // Calls block(keys, groups) over the keys of groups [first, last), in
  // order, a block of whole groups at a time (kBlockKeys or more keys, but
  // for the last): keys[x] is a key of group groups[x].
  template <class Block>
  void each_key_block(std::size_t first, std::size_t last, Meter& meter, Block&& block) const;

  static constexpr std::size_t kBlockKeys = 256;

  std::uint32_t d_;
  std::uint32_t longest_;
  unsigned bits_ = 1, shift_ = 63;
  std::vector<std::uint32_t> directory_;  // 2^bits_ + 1 bucket starts
  std::vector<std::uint16_t> tags_;
  std::vector<std::uint32_t> groups_;  // by entry
  // The held texts in groups of equal texts.
  EqualGroups equal_;
  // What a lookup reads of a group it found, in one place rather than at the
  // end of three reads that wait on each other: the group's length (at most
  // 255: held lengths are short), its first text and that text's counts, and
  // whether it has other members.
  struct GroupHead {
    CharCounts counts;
    std::uint32_t first;
    std::uint8_t length;
    bool repeated;
  };
  std::vector<GroupHead> heads_;
  const WorkingTexts& texts_;
};

namespace detail {

// The variants of a text, built in a string: `buffer` holds the text before
// code point `from`, less the deleted ones.
template <class F>
void variants_from(std::string_view text, const std::vector<std::uint32_t>& starts, std::size_t from,
                   std::uint32_t deleted, std::uint32_t d, std::string& buffer, F& f) {
  const std::size_t kept = buffer.size();
  buffer.append(text.substr(starts[from]));
  f(hash_bytes(buffer.data(), buffer.size()), deleted);
  buffer.resize(kept);
  if (deleted == d) return;
  const std::size_t n = starts.size() - 1;
  for (std::size_t p = from; p < n; ++p) {
    buffer.append(text.substr(starts[from], starts[p] - starts[from]));
    variants_from(text, starts, p + 1, deleted + 1, d, buffer, f);
    buffer.resize(kept);
  }
}

// The same variants, in the same order, of a text of at most 16 bytes held
// in one 128-bit word, byte i at bits 8i (the order in which a little-endian
// load reads it): deleting bytes [a, b) keeps the word below byte a and moves
// what lies from b down to a, so a variant is two shifts and an or, and its
// hash is hash_word of the word, without writing its bytes anywhere.
using Word = Word128;
inline constexpr std::size_t kWordBytes = sizeof(Word);
inline Word shifted_up(Word v, std::size_t bytes) { return bytes >= kWordBytes ? 0 : v << (8 * bytes); }
inline Word shifted_down(Word v, std::size_t bytes) { return bytes >= kWordBytes ? 0 : v >> (8 * bytes); }
inline Word below_byte(Word v, std::size_t bytes) { return bytes >= kWordBytes ? v : v & ((Word{1} << (8 * bytes)) - 1); }

// `kept`: the variant's first `kept_bytes` bytes, the text before code point
// `from` less the deleted ones.
template <class F>
void word_variants_from(Word text, std::size_t size, const std::vector<std::uint32_t>& starts, std::size_t from,
                        std::uint32_t deleted, std::uint32_t d, Word kept, std::size_t kept_bytes, F& f) {
  const Word rest = shifted_down(text, starts[from]);
  f(hash_word(kept | shifted_up(rest, kept_bytes), kept_bytes + size - starts[from]), deleted);
  if (deleted == d) return;
  const std::size_t n = starts.size() - 1;
  for (std::size_t p = from; p < n; ++p) {
    const std::size_t piece = starts[p] - starts[from];
    word_variants_from(text, size, starts, p + 1, deleted + 1, d, kept | shifted_up(below_byte(rest, piece), kept_bytes),
                       kept_bytes + piece, f);
  }
}

}  // namespace detail

// each_variant built in a string, whatever the text's length: the definition
// the word-held enumeration is tested against.
template <class F>
void each_variant_in_string(std::string_view text, const std::vector<std::uint32_t>& starts, std::uint32_t d,
                            std::string& buffer, F&& f) {
  buffer.clear();
  detail::variants_from(text, starts, 0, 0, d, buffer, f);
}

template <class F>
void each_variant(std::string_view text, const std::vector<std::uint32_t>& starts, std::uint32_t d,
                  std::string& buffer, F&& f) {
  if constexpr (std::endian::native == std::endian::little) {
    if (text.size() <= detail::kWordBytes) {
      detail::Word word = 0;
      std::memcpy(&word, text.data(), text.size());
      detail::word_variants_from(word, text.size(), starts, 0, 0, d, 0, 0, f);
      return;
    }
  }
  each_variant_in_string(text, starts, d, buffer, f);
}

template <class Keep>
void DeletionIndex::candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi,
                               std::optional<std::uint64_t> within, Scratch& scratch, Keep&& keep) const {
  const auto t = static_cast<std::uint32_t>(std::min<std::uint64_t>(within.value_or(d_), d_));
  hi = std::min(hi, longest_);
  if (lo > hi) return;
  auto& variants = scratch.variants;
  variants.clear();
  scratch.groups.clear();
  each_variant(r.text(), r.starts, std::min(t, r.length), scratch.buffer,
               [&](std::uint64_t h, std::uint32_t deleted) { variants.emplace_back(h, r.length - deleted); });
  // A repeated variant would only be looked up twice.
  if (repeats_a_byte(r.text())) {
    std::sort(variants.begin(), variants.end());
    variants.erase(std::unique(variants.begin(), variants.end()), variants.end());
  }
  // Every lookup's key first, then their directory slots, then their
  // buckets, each step's reads started together (they miss the cache alike).
  auto& probes = scratch.probes;
  probes.clear();
  for (const auto& [h, m] : variants) {
    // The query itself (the one variant of its length) finds at its own
    // length only the texts equal to it.
    const std::uint32_t first = std::max(lo, m == r.length && !r.may_equal_held ? m + 1 : m);
    const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(hi, std::uint64_t{m} + t));
    for (std::uint32_t l = first; l <= last; ++l) {
      probes.push_back({key(h, l), l, 0});
      __builtin_prefetch(&directory_[slot(probes.back().key)]);
    }
  }
  for (auto& p : probes) {
    p.from = directory_[slot(p.key)];
    __builtin_prefetch(tags_.data() + p.from);  // the arrays may be empty
    __builtin_prefetch(groups_.data() + p.from);
  }
  auto& matched = scratch.matched;
  matched.clear();
  for (const auto& p : probes) {
    const std::uint16_t* begin = tags_.data() + p.from;
    const std::uint16_t* end = tags_.data() + directory_[slot(p.key) + 1];
    const std::uint16_t want = tag(p.key);
    for (const std::uint16_t* e = std::lower_bound(begin, end, want); e != end && *e == want; ++e) {
      matched.push_back({groups_[static_cast<std::size_t>(e - tags_.data())], p.length});
      __builtin_prefetch(&heads_[matched.back().first]);
    }
  }
  // 16 bits of the key match: a group of another length is a collision, and
  // would be outside [lo, hi] or paired under the wrong length. A group met
  // again (by another variant) is dropped as it comes, by a table of at
  // least twice the matches, open addressing: no sort, and the groups in the
  // order first met.
  auto& seen = scratch.seen;
  const unsigned bits = static_cast<unsigned>(std::bit_width(2 * matched.size() + 1));
  seen.assign(std::size_t{1} << bits, kNoGroup);
  const std::size_t mask = seen.size() - 1;
  for (const auto& [g, length] : matched) {
    if (heads_[g].length != length) continue;
    std::size_t at = (std::uint64_t{g} * 0x9E3779B97F4A7C15ull) >> (64 - bits);
    while (seen[at] != kNoGroup && seen[at] != g) at = (at + 1) & mask;
    if (seen[at] == g) continue;
    seen[at] = g;
    scratch.groups.push_back(g);
  }
  for (const std::uint32_t g : scratch.groups) {
    const GroupHead& head = heads_[g];
    if (!head.repeated) {
      keep(head.first, std::uint32_t{head.length}, head.counts, std::uint64_t{t});
      continue;
    }
    for (const std::uint32_t id : equal_.group(g)) keep(id, std::uint32_t{head.length}, head.counts, std::uint64_t{t});
  }
}

}  // namespace quillmatch::join
