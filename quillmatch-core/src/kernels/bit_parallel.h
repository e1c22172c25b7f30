// The column steps of the two bit-parallel edit distances, and the kernel frame
// they share.
//
// Notation: bit i stands for pattern position i. VP/VN are the vertical +1/-1
// deltas of the current column, HP/HN the horizontal ones, D0 the diagonal zero
// deltas, PM the pattern mask of the current text code point, and `score` the
// distance between the whole pattern and the text prefix scanned so far. In the
// block form position i is bit i % 64 of word i / 64, word 0 lowest.
//
// The single-word steps are used unchanged by the batch engines' ASCII fast
// paths, so the fast paths are the same algorithm as the kernels by
// construction. Each word step has a lane twin (LevenshteinLanes, OsaLanes)
// right after it, the same recurrence over simd::Lanes<T>, scanning one
// candidate per lane. The word steps write HP and the new VP with AND-NOTs of
// values that are ready early, which shortens the loop-carried chain that one
// text's scan waits on. A register of lanes waits on its operation count
// instead, and AVX2 has no NOT (it is an XOR with all ones), so the lanes carry
// HP and X = (HP << 1) | 1 complemented, and every NOT folds into an AND-NOT.
// Both forms are the same bits (De Morgan), and the lane tests compare them
// step by step.
//
// Why a T-bit lane is the word step: every operation of the steps (and, or,
// xor, not, add, shift left by one) computes the low T bits of its result from
// the low T bits of its operands alone. So when m <= T bits, a lane holds
// exactly the low T bits of the word the scalar step would hold, and the score
// reads bit m - 1, which lies among them. A lane's score counts modulo 2^T; the
// engines give a lane only candidates short enough that the score fits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/pattern_masks.h"
#include "simd/simd.h"
#include "text/text.h"

namespace quillmatch {

// ~a & b.
inline std::uint64_t and_not(std::uint64_t a, std::uint64_t b) { return ~a & b; }
// ~a, kept apart from the expression it feeds: the compiler would otherwise
// fold ~a & ~b back into ~(a | b), whose OR waits for both operands.
inline std::uint64_t not_early(std::uint64_t a) {
  std::uint64_t r = ~a;
  asm("" : "+r"(r));
  return r;
}

// Levenshtein (Myers' algorithm in Hyyrö's formulation), one word.
// REQUIRES: 1 <= m <= 64, top == 1 << (m - 1).
struct LevenshteinWord {
  std::uint64_t vp = ~std::uint64_t{0};
  std::uint64_t vn = 0;
  std::uint64_t score;
  std::uint64_t top;

  LevenshteinWord(std::uint64_t m, std::uint64_t top_bit) : score(m), top(top_bit) {}

  void step(std::uint64_t pm) {
    // Adding VP to PM & VP propagates a carry through each run of VP bits that
    // starts at a match; XOR with VP leaves the bits the carry changed, which
    // are the positions whose diagonal delta is zero.
    const std::uint64_t carried = ((pm & vp) + vp) ^ vp;
    const std::uint64_t d0 = carried | pm | vn;
    // HP = VN | ~(D0 | VP) and the new VP = (HN << 1) | ~(D0 | X), computed
    // from ~(PM | VN | VP) and ~D0, which are ready early, so that each needs
    // one AND-NOT on the loop-carried chain from VP to VP.
    const std::uint64_t hp = vn | and_not(carried, not_early(pm | vn | vp));
    const std::uint64_t hn = vp & d0;
    score += (hp & top) != 0;  // never both: hp and hn are disjoint
    score -= (hn & top) != 0;
    const std::uint64_t x = (hp << 1) | 1;  // row 0 grows by one each column
    vn = d0 & x;
    vp = (hn << 1) | and_not(x, not_early(d0));
  }
};

// The score update of a lane step, from ~HP and HN. With a = ((~hp & top) ==
// top), the hp bit clear, and b = ((hn & top) == 0), each -1 or 0, the word
// step's +[hp bit] - [hn bit] equals a - b. A lane whose top is zero gets
// a = b = -1 and keeps its score, which is how a lane whose candidate ended
// stops counting.
template <class T>
simd::Lanes<T> lanes_score_update(simd::Lanes<T> score, simd::Lanes<T> top,
                                  simd::Lanes<T> not_hp, simd::Lanes<T> hn) {
  using V = simd::Lanes<T>;
  return score + ((not_hp & top) == top) - ((hn & top) == V::zero());
}

// LevenshteinWord in every lane; one candidate per lane.
template <class T>
struct LevenshteinLanes {
  using V = simd::Lanes<T>;
  V vp = V::ones();
  V vn = V::zero();
  V score;
  V top;

  LevenshteinLanes(std::uint64_t m, std::uint64_t top_bit)
      : score(V::splat(static_cast<T>(m))), top(V::splat(static_cast<T>(top_bit))) {}
  // A pattern of its own in each lane: lengths m and top bits 1 << (m - 1).
  LevenshteinLanes(V m, V top_bits) : score(m), top(top_bits) {}

  // The lanes set in `ended` keep their score from now on.
  void retire(V ended) { top = and_not(top, ended); }

  void step(V pm) {
    const V d0 = (((pm & vp) + vp) ^ vp) | pm | vn;
    const V not_hp = and_not(d0 | vp, vn);  // ~(vn | ~(d0 | vp))
    const V hn = vp & d0;
    score = lanes_score_update(score, top, not_hp, hn);
    const V not_x = shl1(not_hp);  // ~x: the shift brings in the clear bit 0
    vn = and_not(d0, not_x);
    vp = shl1(hn) | and_not(not_x, d0);
  }
};

// Optimal string alignment (Hyyrö's extension with transpositions), one word.
// Carries the previous column's D0 and the previous text code point's mask.
struct OsaWord {
  std::uint64_t vp = ~std::uint64_t{0};
  std::uint64_t vn = 0;
  std::uint64_t d0 = 0;
  std::uint64_t pm_prev = 0;
  std::uint64_t score;
  std::uint64_t top;

  OsaWord(std::uint64_t m, std::uint64_t top_bit) : score(m), top(top_bit) {}

  void step(std::uint64_t pm) {
    // Bit i of tr: position i-1 matches this code point, position i matched the
    // previous one, and the previous diagonal at i-1 was not already free; a
    // transposition can end at i. Uses the previous column's d0.
    const std::uint64_t tr = ((~d0 & pm) << 1) & pm_prev;
    const std::uint64_t carried = ((pm & vp) + vp) ^ vp;
    d0 = carried | pm | vn | tr;
    // As in LevenshteinWord, with TR beside PM and VN.
    const std::uint64_t hp = vn | and_not(carried, not_early(pm | vn | tr | vp));
    const std::uint64_t hn = vp & d0;
    score += (hp & top) != 0;
    score -= (hn & top) != 0;
    const std::uint64_t x = (hp << 1) | 1;
    vn = d0 & x;
    vp = (hn << 1) | and_not(x, not_early(d0));
    pm_prev = pm;
  }
};

// OsaWord in every lane; one candidate per lane.
template <class T>
struct OsaLanes {
  using V = simd::Lanes<T>;
  V vp = V::ones();
  V vn = V::zero();
  V d0 = V::zero();
  V pm_prev = V::zero();
  V score;
  V top;

  OsaLanes(std::uint64_t m, std::uint64_t top_bit)
      : score(V::splat(static_cast<T>(m))), top(V::splat(static_cast<T>(top_bit))) {}
  OsaLanes(V m, V top_bits) : score(m), top(top_bits) {}

  void retire(V ended) { top = and_not(top, ended); }

  void step(V pm) {
    const V tr = shl1(and_not(pm, d0)) & pm_prev;
    d0 = (((pm & vp) + vp) ^ vp) | pm | vn | tr;
    const V not_hp = and_not(d0 | vp, vn);  // as in LevenshteinLanes
    const V hn = vp & d0;
    score = lanes_score_update(score, top, not_hp, hn);
    const V not_x = shl1(not_hp);
    vn = and_not(d0, not_x);
    vp = shl1(hn) | and_not(not_x, d0);
    pm_prev = pm;
  }
};

// The number of words of a block scan sized at run time; a block scan of a
// fixed number of words keeps its column in a std::array, which the compiler
// holds in registers and unrolls when the scan runs in one function.
inline constexpr std::size_t kAnyWords = 0;

// kWords values of T, or a run-time count of them when kWords is kAnyWords.
template <std::size_t kWords, class T>
using BlockWords =
    std::conditional_t<kWords == kAnyWords, std::vector<T>, std::array<T, kWords>>;

template <std::size_t kWords, class T>
BlockWords<kWords, T> block_words(std::size_t count, T value) {
  if constexpr (kWords == kAnyWords) {
    return BlockWords<kWords, T>(count, value);
  } else {
    BlockWords<kWords, T> words;
    words.fill(value);
    return words;
  }
}

// One word of a block column: VP and VN, and for OSA the previous D0, side by
// side so that a step walks one array.
struct LevenshteinCell {
  std::uint64_t vp = ~std::uint64_t{0};
  std::uint64_t vn = 0;
};
struct OsaCell {
  std::uint64_t vp = ~std::uint64_t{0};
  std::uint64_t vn = 0;
  std::uint64_t d0 = 0;
};

// The column state both block scans share: VP and VN over W words, and the
// score read from bit tb = (m - 1) % 64 of the last word. The add carries one
// bit upward from word to word, as do the HP and HN shifts; bits above position
// m - 1 in the last word only feed carries that leave the top, so they need no
// masking.
// REQUIRES: kWords is kAnyWords or (m + 63) / 64.
template <std::size_t kWords, class Cell>
class BlockColumn {
 public:
  std::uint64_t score;

 protected:
  explicit BlockColumn(std::uint64_t m)
      : score(m), cells_(block_words<kWords>((m + 63) / 64, Cell{})),
        tb_(static_cast<unsigned>((m - 1) % 64)) {}

  std::size_t words() const { return cells_.size(); }

  // a + b + carry over 64 bits; carry becomes 1 when either addition overflowed,
  // which is exactly the carry out of one add-with-carry instruction. On x86-64
  // that instruction, in assembly: adding 0xFF to the carry byte sets the flag
  // exactly when the carry is 1. Written out because through _addcarry_u64 GCC
  // 12 stores every sum of these loops to a stack slot, a store per word that
  // costs the OSA scan most. Elsewhere, plain C++: each addition wrapped exactly
  // when its sum came out below the operand it added to.
  static std::uint64_t add_with_carry(std::uint64_t a, std::uint64_t b, unsigned char& carry) {
#if defined(__x86_64__)
    asm("addb $-1, %[c]\n\tadcq %[b], %[a]\n\tsetc %[c]"
        : [a] "+r"(a), [c] "+q"(carry)
        : [b] "r"(b)
        : "cc");
    return a;
#else
    const std::uint64_t with_carry = a + carry;
    const std::uint64_t sum = with_carry + b;
    carry = static_cast<unsigned char>((with_carry < a) | (sum < with_carry));
    return sum;
#endif
  }
  void bump_score(std::uint64_t hp, std::uint64_t hn) {
    score += (hp >> tb_) & 1;
    if (((hn >> tb_) & 1) && score > 0) --score;
  }

  BlockWords<kWords, Cell> cells_;
  unsigned tb_;
};

// Levenshtein over W words: the single-word step with its carries chained
// across words, word 0 first.
template <std::size_t kWords = kAnyWords>
class LevenshteinBlock : public BlockColumn<kWords, LevenshteinCell> {
  using Column = BlockColumn<kWords, LevenshteinCell>;
  using Column::add_with_carry, Column::cells_;

 public:
  explicit LevenshteinBlock(std::uint64_t m) : Column(m) {}

  void step(const std::uint64_t* pm) {
    unsigned char add_carry = 0;
    std::uint64_t hp_carry = 1, hn_carry = 0;
    // Returns the word's HP and HN; the score reads the last word's, and the
    // loop keeps no other copy of them, which spares two registers.
    auto word = [&](std::size_t w) {
      LevenshteinCell& c = cells_[w];
      const std::uint64_t pmw = pm[w], vpw = c.vp, vnw = c.vn;
      const std::uint64_t s = add_with_carry(pmw & vpw, vpw, add_carry) ^ vpw;
      const std::uint64_t d0 = s | pmw | vnw;
      const std::uint64_t hp = vnw | ~(s | pmw | vpw);
      const std::uint64_t hn = vpw & (s | pmw);
      const std::uint64_t x = (hp << 1) | hp_carry;
      const std::uint64_t y = (hn << 1) | hn_carry;
      hp_carry = hp >> 63;
      hn_carry = hn >> 63;
      c.vn = d0 & x;
      c.vp = y | ~(d0 | x);
      return std::pair{hp, hn};
    };
    const std::size_t last = this->words() - 1;
    for (std::size_t w = 0; w < last; ++w) word(w);
    const auto [hp, hn] = word(last);
    this->bump_score(hp, hn);
  }
};

// Optimal string alignment over W words: the Levenshtein block step plus the
// previous column's D0 and the previous code point's row. The transposition
// term shifts (~D0 & PM) up by one position, so it too carries one bit across
// words.
template <std::size_t kWords = kAnyWords>
class OsaBlock : public BlockColumn<kWords, OsaCell> {
  using Column = BlockColumn<kWords, OsaCell>;
  using Column::add_with_carry, Column::cells_;

 public:
  explicit OsaBlock(std::uint64_t m)
      : Column(m), zero_(block_words<kWords>(cells_.size(), std::uint64_t{0})),
        pm_prev_(zero_.data()) {}
  // pm_prev_ may point into zero_.
  OsaBlock(const OsaBlock&) = delete;
  OsaBlock& operator=(const OsaBlock&) = delete;

  // REQUIRES: `pm` stays valid until the next step (rows of BlockMasks do).
  void step(const std::uint64_t* pm) {
    unsigned char add_carry = 0;
    std::uint64_t tr_carry = 0, hp_carry = 1, hn_carry = 0;
    const std::uint64_t* pm_prev = pm_prev_;
    auto word = [&](std::size_t w) {  // as in LevenshteinBlock::step
      OsaCell& c = cells_[w];
      const std::uint64_t pmw = pm[w], vpw = c.vp, vnw = c.vn;
      const std::uint64_t t = ~c.d0 & pmw;  // previous column's D0
      const std::uint64_t tr = ((t << 1) | tr_carry) & pm_prev[w];
      tr_carry = t >> 63;
      const std::uint64_t s = add_with_carry(pmw & vpw, vpw, add_carry) ^ vpw;
      const std::uint64_t d0 = s | pmw | vnw | tr;
      const std::uint64_t hp = vnw | ~(d0 | vpw);
      const std::uint64_t hn = vpw & d0;
      const std::uint64_t x = (hp << 1) | hp_carry;
      const std::uint64_t y = (hn << 1) | hn_carry;
      hp_carry = hp >> 63;
      hn_carry = hn >> 63;
      c.d0 = d0;
      c.vn = d0 & x;
      c.vp = y | ~(d0 | x);
      return std::pair{hp, hn};
    };
    const std::size_t last = this->words() - 1;
    for (std::size_t w = 0; w < last; ++w) word(w);
    const auto [hp, hn] = word(last);
    this->bump_score(hp, hn);
    pm_prev_ = pm;
  }

 private:
  BlockWords<kWords, std::uint64_t> zero_;
  const std::uint64_t* pm_prev_;
};

// BlockColumn in each 64-bit lane, one text per lane. The carries
// between words are kept per lane, as 0 or 1 in bit 0. The score reads bit tb
// of the last word, as in BlockColumn, through the lane score update, so a
// retired lane keeps its score. BlockColumn's bump_score never meets hn at the
// top with a zero score (a zero score cannot go down), so the plain update here
// is the same.
template <class Cell>
class BlockColumnLanes {
 public:
  using V = simd::Lanes<std::uint64_t>;
  V score;

  // The lanes set in `ended` keep their score from now on.
  void retire(V ended) { top_ = and_not(top_, ended); }

 protected:
  explicit BlockColumnLanes(std::uint64_t m) : cells_((m + 63) / 64), m_(m) { restart(); }

  // The state before the first step, in every lane; keeps the storage.
  void restart() {
    score = V::splat(m_);
    std::fill(cells_.begin(), cells_.end(), Cell{});
    top_ = V::splat(std::uint64_t{1} << ((m_ - 1) % 64));
  }

  // The steps add VP + (PM & VP) + carry in each word. The carry out of the
  // top bit is the majority of the operands' top bits and the carry into it,
  // (a & b) | ((a | b) & ~sum); with a = PM & VP inside b = VP that is
  // (PM & VP) | (VP & ~sum). Inside VP, S = (sum ^ VP) | PM is ~sum | PM, so
  // this is VP & S, and its top bit is the next word's carry in.

  std::vector<Cell> cells_;
  V top_;
  std::uint64_t m_;
};

// LevenshteinCell and OsaCell in every 64-bit lane.
struct LevenshteinLaneCell {
  simd::Lanes<std::uint64_t> vp = simd::Lanes<std::uint64_t>::ones();
  simd::Lanes<std::uint64_t> vn = simd::Lanes<std::uint64_t>::zero();
};
struct OsaLaneCell {
  simd::Lanes<std::uint64_t> vp = simd::Lanes<std::uint64_t>::ones();
  simd::Lanes<std::uint64_t> vn = simd::Lanes<std::uint64_t>::zero();
  simd::Lanes<std::uint64_t> d0 = simd::Lanes<std::uint64_t>::zero();
};

// LevenshteinBlock in every 64-bit lane.
class LevenshteinBlockLanes : public BlockColumnLanes<LevenshteinLaneCell> {
 public:
  explicit LevenshteinBlockLanes(std::uint64_t m) : BlockColumnLanes(m) {}
  void restart() { BlockColumnLanes::restart(); }

  // pm[w] holds word w of every lane's mask row.
  //
  // The add needs no carry of its own: HN = VP & D0 = VP & S (VP and VN are
  // disjoint) is the add's carry-out expression, so the add's carry into a word
  // is the HN bit that the shift carries into it.
  void step(const V* pm) {
    V hn_carry = V::zero(), not_hp_carry = V::zero();  // ~HP carries in 0: X's bit 0 is set
    V not_hp = V::ones(), hn = V::zero();
    for (LevenshteinLaneCell& c : cells_) {
      const V pmw = *pm++, vpw = c.vp, vnw = c.vn;
      const V s = ((vpw + (pmw & vpw) + hn_carry) ^ vpw) | pmw;
      hn = vpw & s;
      const V d0 = s | vnw;
      not_hp = and_not(s | vpw, vnw);  // ~(vn | ~(s | pm | vp))
      const V not_x = shl1(not_hp) | not_hp_carry;
      const V y = shl1(hn) | hn_carry;
      not_hp_carry = top_down(not_hp);
      hn_carry = top_down(hn);
      c.vn = and_not(d0, not_x);
      c.vp = y | and_not(not_x, d0);
    }
    score = lanes_score_update(score, top_, not_hp, hn);  // the last word's
  }
};

// OsaBlock in every 64-bit lane. As in LevenshteinBlockLanes, HN = VP & S, so
// the add takes HN's carry: here HN = VP & (S | TR), but VP & TR lies inside S.
// Why: let bit i of TR be set (position i - 1 matches this code point, i the
// previous one, and the previous column's D0 is clear at i - 1) and bit i of
// VP too. Were VP clear at i - 1, the distance at i - 1 would equal the one at
// i in the previous column, and the clear D0 with i's match of the previous
// code point would put the distance at i + 1 no higher than at i there, which
// a set VP at i denies. So VP is set at i - 1, where PM is too: the add carries
// into bit i, and leaves it clear there unless PM is set, so S has bit i.
class OsaBlockLanes : public BlockColumnLanes<OsaLaneCell> {
 public:
  explicit OsaBlockLanes(std::uint64_t m)
      : BlockColumnLanes(m), zero_(cells_.size(), V::zero()), pm_prev_(zero_.data()) {}
  // pm_prev_ may point into zero_.
  OsaBlockLanes(const OsaBlockLanes&) = delete;
  OsaBlockLanes& operator=(const OsaBlockLanes&) = delete;

  void restart() {
    BlockColumnLanes::restart();
    pm_prev_ = zero_.data();
  }

  // REQUIRES: `pm` stays valid and unchanged until the next step.
  void step(const V* pm) {
    V tr_carry = V::zero(), not_hp_carry = V::zero(), hn_carry = V::zero();
    V not_hp = V::ones(), hn = V::zero();
    const V* pm_prev = pm_prev_;
    pm_prev_ = pm;
    for (OsaLaneCell& c : cells_) {
      const V pmw = *pm++, vpw = c.vp, vnw = c.vn;
      const V t = and_not(pmw, c.d0);  // previous column's D0
      const V tr = (shl1(t) | tr_carry) & *pm_prev++;
      tr_carry = top_down(t);
      const V s = ((vpw + (pmw & vpw) + hn_carry) ^ vpw) | pmw;
      const V d0 = s | vnw | tr;
      not_hp = and_not(d0 | vpw, vnw);
      hn = vpw & s;
      const V not_x = shl1(not_hp) | not_hp_carry;
      const V y = shl1(hn) | hn_carry;
      not_hp_carry = top_down(not_hp);
      hn_carry = top_down(hn);
      c.d0 = d0;
      c.vn = and_not(d0, not_x);
      c.vp = y | and_not(not_x, d0);
    }
    score = lanes_score_update(score, top_, not_hp, hn);  // the last word's
  }

 private:
  std::vector<V> zero_;
  const V* pm_prev_;
};

// Scans the prepared pair with the variant the pattern length and form call for.
//
// The scan may stop as soon as the distance is known to exceed `limit - n`
// (n the text length); it then returns a value above that, not the distance.
// Why stopping is exact: a step changes the score by +[hp top bit] - [hn top
// bit], and hp and hn are disjoint, so the score moves by at most one per text
// code point. After j of n code points the final distance is at least
// score - (n - j); once score + j > limit it exceeds limit - n, and so does
// score - (n - j), which is returned.
// REQUIRES: len1 >= 1 and len2 >= 1.
template <class Word, template <std::size_t> class Block>
std::uint64_t scan_distance(const PreparedPair& pair, std::uint64_t limit) {
  const std::uint64_t m = pair.len1, n = pair.len2;
  const std::string_view text = pair.text2();
  std::uint64_t j = 0;
  // True when the scan, j + 1 code points in, may stop.
  auto past_limit = [&](std::uint64_t score) { return score + ++j > limit; };
  const auto lower_bound = [&](std::uint64_t score) { return score - (n - j); };
  if (m <= 64) {
    const std::uint64_t top = std::uint64_t{1} << (m - 1);
    Word scan(m, top);
    if (pair.ascii) {
      const AsciiPairMasks masks(pair.text1(), text, pair.fold_pending);
      for (unsigned char b : text) {
        scan.step(masks.get(b));
        if (past_limit(scan.score)) return lower_bound(scan.score);
      }
      return scan.score;
    }
    const WordMasks masks = WordMasks::from_code_points(decode_utf8(pair.text1()));
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    const auto end = p + text.size();
    while (p < end) {
      scan.step(masks.get(decode_next(p, end)));
      if (past_limit(scan.score)) return lower_bound(scan.score);
    }
    return scan.score;
  }
  const BlockMasks masks(decode_utf8(pair.text1()));
  auto scan_block = [&]<class Scan>(Scan&& scan) {
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    const auto end = p + text.size();
    while (p < end) {
      scan.step(masks.row(decode_next(p, end)));
      if (past_limit(scan.score)) return lower_bound(scan.score);
    }
    return scan.score;
  };
  switch (masks.words()) {
    case 2: return scan_block(Block<2>(m));
    case 3: return scan_block(Block<3>(m));
    case 4: return scan_block(Block<4>(m));
    default: return scan_block(Block<kAnyWords>(m));
  }
}

// The frame both distance kernels share: prepare, cutoff pre-check, empty texts,
// scan, cap. A maximal cutoff never caps, so cutoff + 1 cannot overflow.
template <class Word, template <std::size_t> class Block>
Result<std::uint64_t> bit_parallel_distance(TextView str_1, TextView str_2,
                                            std::optional<std::uint64_t> max_len,
                                            bool case_insensitive,
                                            std::optional<std::uint64_t> score_cutoff) {
  PreparedPair pair;
  if (auto error = prepare_inputs(str_1, str_2, max_len, case_insensitive, pair,
                                  /*defer_ascii_fold=*/true))
    return *error;
  const std::uint64_t m = pair.len1, n = pair.len2;
  // The length difference is a lower bound of both distances.
  if (score_cutoff && (m > n ? m - n : n - m) > *score_cutoff) return *score_cutoff + 1;
  // The scan stops once the distance provably exceeds the cutoff; without one,
  // or with one so large that cutoff + n does not fit, it never stops early.
  constexpr std::uint64_t kNever = ~std::uint64_t{0};
  const std::uint64_t limit =
      score_cutoff && *score_cutoff <= kNever - n ? *score_cutoff + n : kNever;
  std::uint64_t d = m == 0 ? n : n == 0 ? m : scan_distance<Word, Block>(pair, limit);
  if (score_cutoff && d > *score_cutoff) return *score_cutoff + 1;
  return d;
}

}  // namespace quillmatch
