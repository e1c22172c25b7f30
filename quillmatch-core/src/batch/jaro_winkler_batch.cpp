// One query against many candidates with the Jaro-Winkler similarity.
//
// The query is prepared once: for an ASCII query of 1 to 64 bytes, its lowered
// (or plain) bytes and their position table; for any nonempty query, its folded
// (or plain) code points and their position rows. An ASCII candidate of at most
// 64 bytes against a word query is matched against the table (whose capitals
// read as their small letters when folding), many candidates at a time in the
// lanes of a vector register (jw::MatchLanes and jw::MismatchLanes, the lane
// twins of the word routines), with nothing allocated. Every other candidate is
// matched against the rows (jw::count_blocks): an ASCII one read as bytes,
// lowered on the fly, anything else folded and decoded into reused scratch. The
// query's folded code points are what the kernel folds it to, and both paths end
// in jw::score: every entry equals the kernel's value bit for bit.
//
// The candidate is always the scanned text and the query the searched one, the
// reverse of the kernel's roles; matching is symmetric (for each code point
// value the same pairs form whichever side is scanned), and so are h and l.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "kernels/jaro_winkler.h"
#include "kernels/pattern_masks.h"
#include "quillmatch/quillmatch.h"
#include "batch/slices.h"
#include "text/text.h"

namespace quillmatch {

namespace {

// A position table narrowed to T-bit lanes.
template <class T>
using LaneTable = std::array<T, jw::kByteValues>;

struct JaroWinklerQuery {
  std::string folded;  // lowered (or plain) ASCII query; empty unless fast
  // Of folded; zero unless fast. With case_insensitive, entry b is that of
  // b's small letter. Bytes from 0x80 up index zero entries, so a candidate
  // can be matched before it is known to be ASCII.
  std::uint64_t positions[jw::kByteValues] = {};
  // positions at every lane width; filled when fast.
  std::tuple<LaneTable<std::uint8_t>, LaneTable<std::uint16_t>, LaneTable<std::uint32_t>,
             LaneTable<std::uint64_t>>
      lane_tables;
  std::uint64_t length = 0;                        // code points, unfolded
  // The query's code points as the kernel sees them, folded when
  // case_insensitive, in the layout its length takes; both absent for the
  // empty query (folding keeps a text empty or nonempty).
  std::optional<jw::SearchedWord> searched_word;
  std::optional<jw::SearchedBlocks> searched_blocks;
  double scale = 0.0;
  bool fast = false;  // ASCII query of 1..64 bytes
  // A query beyond ASCII of 1..64 code points, all below U+0100 once folded
  // (to as many) when case_insensitive: positions and lane tables by that
  // code point, a capital ASCII letter's those of its small one when folding,
  // so that the lanes take it as they take a fast one (see
  // PreparedQuery::latin1 of the edit distances); `absent` is a byte from
  // 0x80 up of no position.
  bool latin1 = false;
  unsigned char absent = 0x80;
  bool case_insensitive = false;
};

// A T-bit lane keeps the low T bits of each entry: every bit of a query that
// fits the lane.
template <class T>
void narrow_table(const std::uint64_t (&positions)[jw::kByteValues], LaneTable<T>& table) {
  for (std::size_t b = 0; b < jw::kByteValues; ++b) table[b] = static_cast<T>(positions[b]);
}

// The scale is checked before anything is allocated.
Result<JaroWinklerQuery> prepare_query(TextView query, std::optional<double> p,
                                       bool case_insensitive) {
  const Result<double> scale = check_prefix_scale(p);
  if (!scale.ok()) return scale.error();
  JaroWinklerQuery q;
  q.scale = scale.value();
  q.case_insensitive = case_insensitive;
  const std::string_view text = query.view();
  if (is_ascii(text)) {
    q.length = text.size();
    if (!text.empty() && text.size() <= jw::kWordBits) {
      q.folded.assign(text);
      // For ASCII, the full lowercase mapping is exactly A..Z -> a..z.
      if (case_insensitive) {
        for (char& ch : q.folded)
          ch = static_cast<char>(jw::AsciiLower{}(static_cast<unsigned char>(ch)));
      }
      jw::build_positions(q.positions, jw::bytes(q.folded), q.folded.size());
      // Capitals read the entry of their small letter (the small letters' own
      // entries already hold every matching position, and capitals hold none
      // in folded), so candidates are matched without lowering their bytes.
      if (case_insensitive) {
        for (unsigned b = 'A'; b <= 'Z'; ++b) q.positions[b] = q.positions[b + 0x20];
      }
      std::apply([&](auto&... tables) { (narrow_table(q.positions, tables), ...); },
                 q.lane_tables);
      q.fast = true;
    }
  } else {
    q.length = count_code_points(text);
  }
  if (q.length != 0) {
    std::vector<char32_t> cps =
        decode_utf8(case_insensitive ? std::string_view(fold_case(text)) : text);
    if (!q.fast && cps.size() == q.length && q.length <= jw::kWordBits &&
        std::all_of(cps.begin(), cps.end(), [](char32_t cp) { return cp < 256; })) {
      for (std::size_t i = 0; i < cps.size(); ++i) q.positions[cps[i]] |= std::uint64_t{1} << i;
      if (case_insensitive) {
        for (unsigned b = 'A'; b <= 'Z'; ++b) q.positions[b] = q.positions[b + 0x20];
      }
      std::apply([&](auto&... tables) { (narrow_table(q.positions, tables), ...); }, q.lane_tables);
      q.absent = absent_byte(q.positions);
      q.latin1 = true;
    }
    if (cps.size() <= jw::kWordBits)
      q.searched_word.emplace(std::move(cps));
    else
      q.searched_blocks.emplace(std::move(cps));
  }
  return q;
}

// The score from a candidate's matched words. REQUIRES: q.fast; the words came
// from matching the candidate's n bytes c against q's table.
template <class Map>
double score_matched(const JaroWinklerQuery& q, const unsigned char* c, std::size_t n,
                     const jw::MatchedWords& matched, Map map) {
  const jw::Counts counts =
      jw::count_words(c, n, jw::bytes(q.folded), q.folded.size(), matched, map);
  if (counts.m == 0) return 0.0;
  return jw::score_words(counts.m, counts.t, q.length, n, counts.l, q.scale);
}

// The score of an ASCII candidate, or nothing when a byte is not ASCII: the
// match runs first and the bytes' OR is tested after it, so that no separate
// pass over the candidate decides the path. REQUIRES: q.fast, candidate of
// 1..64 bytes.
template <class Map>
std::optional<double> score_fast(const JaroWinklerQuery& q, std::string_view candidate, Map map) {
  const unsigned char* c = jw::bytes(candidate);
  const std::size_t n = candidate.size();
  const std::uint64_t r = jw::match_radius(q.length, n);
  const jw::MatchedWords matched = jw::match_words(q.positions, c, n, r, jw::Verbatim{});
  if (matched.any_bytes >= 0x80) return std::nullopt;
  return score_matched(q, c, n, matched, map);
}

// The score of a candidate of 1..64 bytes that is not ASCII, unfolded. A code
// point beyond ASCII equals none of an ASCII query's, so it stands as one byte
// 0x80, whose table entry is empty: it takes a position and matches nothing.
// Matched bytes are then ASCII, and 0x80 equals no query byte in the prefix,
// so the counts are those of the code points. (Folded, a code point beyond
// ASCII may become ASCII: those take the blocks.) REQUIRES: q.fast.
double score_packed(const JaroWinklerQuery& q, std::string_view candidate) {
  unsigned char packed[jw::kWordBits];
  std::size_t n = 0;
  for (unsigned char b : candidate)
    if (!is_continuation(b)) packed[n++] = std::min<unsigned char>(b, 0x80);
  const std::uint64_t r = jw::match_radius(q.length, n);
  const jw::MatchedWords matched = jw::match_words(q.positions, packed, n, r, jw::Verbatim{});
  return score_matched(q, packed, n, matched, jw::Verbatim{});
}

template <class Searched>
double score_against(const JaroWinklerQuery& q, const Searched& searched,
                     std::string_view candidate, bool ascii, jw::BlockScratch& scratch) {
  jw::Counts counts;
  std::uint64_t n = candidate.size();
  if (ascii) {
    const unsigned char* c = jw::bytes(candidate);
    counts = q.case_insensitive ? jw::count_blocks(searched, c, n, jw::AsciiLower{}, scratch)
                                : jw::count_blocks(searched, c, n, jw::Verbatim{}, scratch);
  } else {
    if (q.case_insensitive) {
      scratch.folded = fold_case(candidate);
      candidate = scratch.folded;
    }
    scratch.decoded.clear();
    for_each_code_point(candidate, [&](char32_t cp) { scratch.decoded.push_back(cp); });
    n = scratch.decoded.size();
    counts = jw::count_blocks(searched, scratch.decoded.data(), n, jw::Verbatim{}, scratch);
  }
  if (counts.m == 0) return 0.0;
  return jw::score(counts.m, counts.t, searched.cps.size(), n, counts.l, q.scale);
}

// REQUIRES: a nonempty query, candidate nonempty.
double score_blocks(const JaroWinklerQuery& q, std::string_view candidate, bool ascii,
                    jw::BlockScratch& scratch) {
  return q.searched_word ? score_against(q, *q.searched_word, candidate, ascii, scratch)
                         : score_against(q, *q.searched_blocks, candidate, ascii, scratch);
}

double score_candidate(const JaroWinklerQuery& q, TextView candidate, jw::BlockScratch& scratch) {
  // Folding never empties a text, so emptiness can be read before folding.
  if (q.length == 0) return candidate.size == 0 ? 1.0 : 0.0;
  if (candidate.size == 0) return 0.0;
  const std::string_view text = candidate.view();
  if (q.fast && text.size() <= jw::kWordBits) {
    const std::optional<double> fast = q.case_insensitive ? score_fast(q, text, jw::AsciiLower{})
                                                          : score_fast(q, text, jw::Verbatim{});
    if (fast) return *fast;
    return q.case_insensitive ? score_blocks(q, text, false, scratch) : score_packed(q, text);
  }
  return score_blocks(q, text, is_ascii(text), scratch);
}


// The lane engine of a fast or latin1 query: ASCII candidates of 1 to 64 bytes matched
// many at a time, one per lane of T bits, T the narrowest lane that holds the
// query. Within a slice the candidates are ordered by length, so a group's
// lanes end at nearly the same step. A lane's counts become its score through
// jw::score_words, as the word strategy's do.
//
// Candidate bytes reach the lanes as in the distance lane engine: row j of a
// group's block holds the table entry of byte j of every lane's candidate.
// Whether a candidate is ASCII is learnt while its bytes are read; a lane that
// met a byte of 0x80 or above read only zero entries, and its candidate is
// scored again once the slice's ASCII ones are: in lanes, narrowed to one
// byte per code point (BeyondAscii), where a code point beyond ASCII matches
// none of the query's as in the kernel and the lengths are code points, or
// by score_candidate when it cannot be narrowed. Rows past a lane's end are
// stale and never counted.
template <class T>
class LaneEngine {
 public:
  using V = simd::Lanes<T>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::size_t kSlice = 256;

  // REQUIRES: q.fast or q.latin1, and q.length <= bits of T; `q` outlives the engine.
  explicit LaneEngine(const JaroWinklerQuery& q)
      : q_(q), table_(std::get<LaneTable<T>>(q.lane_tables)), fill_(table_.data()) {}

  void score_chunk(std::span<const TextView> candidates, std::span<double> out) {
    for_each_slice(candidates, kSlice, [&](std::size_t base, std::size_t n, SliceAhead& ahead) {
      score_slice(candidates.subspan(base, n), out.subspan(base, n), ahead);
    });
  }

 private:
  // Unused lanes (size 0) are never live.
  using Ordered = LaneOrder<T, kSlice, kLanes>;

  void score_slice(std::span<const TextView> texts, std::span<double> out, SliceAhead& ahead) {
    // Ordered by length; candidates of 0 or more than 64 bytes are scored one
    // by one.
    Ordered o;
    const std::size_t lanes = order_lane_candidates<jw::kWordBits + 1>(
        texts, [](std::size_t size) { return size - 1 < jw::kWordBits; },
        [](std::size_t size) { return size; },
        [&](std::size_t at, std::size_t k) { o.put(at, k, texts[k]); },
        [&](std::size_t k) { out[k] = score_candidate(q_, texts[k], scratch_); });
    o.end(lanes);
    beyond_.restart();
    for (std::size_t i = 0; i < lanes; i += kLanes) {
      const std::size_t n = std::min(kLanes, lanes - i);
      ahead.fetch(n);
      score_group(texts, o, i, n, out, &beyond_);
    }
    if (beyond_.found) score_beyond_ascii(texts, out);
  }

  // The slice's candidates that met a byte of 0x80 or above, narrowed and
  // scored in lanes again.
  void score_beyond_ascii(std::span<const TextView> texts, std::span<double> out) {
    beyond_.narrow(texts, q_.case_insensitive, q_.absent,
                   [&](std::size_t c) { out[c] = score_candidate(q_, texts[c], scratch_); });
    Ordered o;
    const std::size_t lanes = beyond_.template order<jw::kWordBits + 1>(o, [](std::size_t size) { return size; });
    const std::span<const TextView> narrowed(beyond_.views, lanes);
    double got[kSlice];
    for (std::size_t i = 0; i < lanes; i += kLanes)
      score_group(narrowed, o, i, std::min(kLanes, lanes - i), got, nullptr);
    for (std::size_t k = 0; k < lanes; ++k) out[beyond_.of[k]] = got[k];
  }

  // The group of the n candidates from place i of the order, into out; with
  // `beyond`, a candidate that met a byte of 0x80 or above goes there
  // instead, and without it every lane's score is taken (the texts are
  // narrowed).
  template <class Out>
  void score_group(std::span<const TextView> texts, const Ordered& o, std::size_t i, std::size_t n, Out&& out,
                   BeyondAscii<kSlice>* beyond) {
    const T* lengths = o.sizes + i;
    alignas(32) T radius[kLanes] = {}, window[kLanes] = {};
    unsigned char high[kLanes] = {};  // the OR of every byte of the lane
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t r = jw::match_radius(q_.length, lengths[k]);
      radius[k] = static_cast<T>(r);
      window[k] = static_cast<T>((std::uint64_t{1} << (r + 1)) - 1);
    }
    const std::size_t steps = lengths[n - 1];  // ordered by length: the last is the longest
    fill_rows(fill_, table_.data(), o.bytes + i, lengths, n, 0, steps, block_, high);
    jw::MatchLanes<T> match(V::load(window), V::load(radius), V::load(lengths));
    for (std::size_t j = 0; j < steps; ++j)
      match.step(V::load(block_ + j * kLanes)).store(missed_ + j * kLanes);
    jw::MismatchLanes<T> walk(match);
    for (std::size_t j = 0; j < steps; ++j)
      walk.step(V::load(block_ + j * kLanes), V::load(missed_ + j * kLanes));
    alignas(32) T unmatched[kLanes], mismatches[kLanes], prefix[kLanes];
    match.unmatched.store(unmatched);
    walk.mismatches.store(mismatches);
    walk.prefix.store(prefix);
    for (std::size_t k = 0; k < n; ++k) {
      const TextView& t = texts[o.place[i + k]];
      double& result = out[o.place[i + k]];
      if (beyond && high[k] >= 0x80) {
        beyond->add(o.place[i + k]);
        continue;
      }
      // One searched bit cleared per matched pair.
      const std::uint64_t m = static_cast<std::uint64_t>(std::popcount(static_cast<T>(~unmatched[k])));
      // Integer halving, as count_words does.
      result = m == 0 ? 0.0
                      : jw::score_words(m, mismatches[k] / 2, q_.length, t.size, prefix[k],
                                        q_.scale);
    }
  }

  const JaroWinklerQuery& q_;
  const LaneTable<T>& table_;
  LaneFill<T> fill_;
  jw::BlockScratch scratch_;
  alignas(32) T block_[jw::kWordBits * kLanes] = {};
  alignas(32) T missed_[jw::kWordBits * kLanes] = {};
  BeyondAscii<kSlice> beyond_;
  static_assert(BeyondAscii<kSlice>::kLongest <= jw::kWordBits);
};

template <class T>
void score_lanes(const JaroWinklerQuery& q, std::span<const TextView> candidates,
                 std::span<double> out) {
  LaneEngine<T>(q).score_chunk(candidates, out);
}

}  // namespace

struct JaroWinklerScorer::State {
  JaroWinklerQuery query;
};

JaroWinklerScorer::JaroWinklerScorer(std::unique_ptr<const State> state)
    : state_(std::move(state)) {}
JaroWinklerScorer::JaroWinklerScorer(JaroWinklerScorer&&) noexcept = default;
JaroWinklerScorer& JaroWinklerScorer::operator=(JaroWinklerScorer&&) noexcept = default;
JaroWinklerScorer::~JaroWinklerScorer() = default;

Result<JaroWinklerScorer> JaroWinklerScorer::make(TextView query, std::optional<double> p,
                                                  bool case_insensitive) {
  Result<JaroWinklerQuery> prepared = prepare_query(query, p, case_insensitive);
  if (!prepared.ok()) return prepared.error();
  return JaroWinklerScorer(std::make_unique<const State>(State{std::move(prepared.value())}));
}

namespace {
constexpr std::size_t kPrefetchAhead = 16;
}  // namespace

void JaroWinklerScorer::score(std::span<const TextView> candidates, std::span<double> out) const {
  const JaroWinklerQuery& q = state_->query;
  if (q.fast || q.latin1) {
    const std::uint64_t m = q.length;
    (m <= 8    ? score_lanes<std::uint8_t>
     : m <= 16 ? score_lanes<std::uint16_t>
     : m <= 32 ? score_lanes<std::uint32_t>
               : score_lanes<std::uint64_t>)(q, candidates, out);
    return;
  }
  jw::BlockScratch scratch;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    // Texts of a long list lie scattered and long out of cache: asking for one
    // a few places ahead overlaps its miss with this candidate's work.
    if (k + kPrefetchAhead < candidates.size())
      __builtin_prefetch(candidates[k + kPrefetchAhead].data);
    out[k] = score_candidate(q, candidates[k], scratch);
  }
}

Result<std::vector<double>> jaro_winkler_batch(TextView query, std::span<const TextView> candidates,
                                               std::optional<double> p, bool case_insensitive) {
  Result<JaroWinklerScorer> scorer = JaroWinklerScorer::make(query, p, case_insensitive);
  if (!scorer.ok()) return scorer.error();
  std::vector<double> scores(candidates.size());
  scorer.value().score(candidates, scores);
  return scores;
}

}  // namespace quillmatch
