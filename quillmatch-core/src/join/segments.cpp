#include "join/segments.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <numeric>

#include "many/polled_sort.h"

namespace quillmatch::join {

namespace {

// The longest texts entered by pairs of segments (segments.h). Longer ones
// have two segments of 6 code points or more, selective enough alone, where
// a third entry and lookup only cost. levenshtein_pairs(texts, 1), best of
// two, by the longest length paired (0: none), every length paired up to it:
//   a million distinct surnames (mean 7.5): 0: 2.51 s; 8: 1.97; 10: 1.99;
//     12: 1.92; 14: 1.95; all: 2.03;
//   a million Faker names (mean 17): 0: 1.13 s; 8: 1.09; 10: 1.15; 12: 1.14;
//     14: 1.23; all: 1.31.
// Within the bound, a length is paired by how many texts share its segments
// on average (SegmentIndex::kPairedShare): the English words, whose segments
// 14 to 23 texts share at lengths 3 to 8, took 1.18 times as long paired;
// the surnames' are shared by 60 to 145.
constexpr std::uint32_t kPairedLongest = 12;
// The texts sampled, evenly, to find how many share a segment.
constexpr std::size_t kPairSample = std::size_t{1} << 13;

}  // namespace

SegmentIndex::SegmentIndex(const WorkingTexts& texts, const Thresholds& thresholds, std::uint32_t gap,
                           Reach reach, std::uint32_t shortest, std::size_t workers, Meter& meter,
                           double paired_share)
    : thresholds_(thresholds), gap_(gap), texts_(texts) {
  std::uint32_t longest = 0;
  for (std::size_t id = 0; id < texts.size(); ++id) longest = std::max(longest, texts.length(id));
  // Each length that occurs is cut or not once.
  std::vector<std::uint32_t> per_length(std::size_t{longest} + 1, 0);
  for (std::size_t id = 0; id < texts.size(); ++id)
    if (texts.length(id) >= shortest) ++per_length[texts.length(id)];
  segments_.assign(per_length.size(), 0);
  paired_.assign(per_length.size(), 0);
  uncut_from_.assign(per_length.size() + 1, 0);
  for (std::size_t l = 0; l < per_length.size(); ++l) {
    if (per_length[l] && thresholds.cut(l, gap, reach))
      segments_[l] = static_cast<std::uint32_t>(thresholds.cut_for(l, reach) + 1);  // < l + 1
    else
      uncut_from_[l + 1] = per_length[l];
    paired_[l] = segments_[l] == 2 && l >= kPairedSegments * (1 + gap) - gap && l <= kPairedLongest;
  }
  keep_shared_pairs(texts, shortest, paired_share, meter);
  for (std::size_t l = 0; l < per_length.size(); ++l)
    if (paired_[l]) segments_[l] = kPairedSegments;
  std::partial_sum(uncut_from_.begin(), uncut_from_.end(), uncut_from_.begin());
  uncut_.resize(uncut_from_.back());
  std::vector<std::uint32_t> at(uncut_from_.begin(), uncut_from_.end() - 1);

  std::size_t entries = 0;
  for (std::size_t id = 0; id < texts.size(); ++id) {
    const std::uint32_t l = texts.length(id);
    if (l < shortest) continue;
    if (segments_[l] == 0) uncut_[at[l]++] = static_cast<std::uint32_t>(id);
    else entries += segments_[l];
  }

  // (key, id) of every segment, sorted by key.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs;
  pairs.reserve(entries);
  std::vector<std::uint32_t> starts;
  for (std::size_t id = 0; id < texts.size(); ++id) {
    const std::uint32_t l = texts.length(id), k = segments_[l];
    if (k == 0 || l < shortest) continue;
    const std::string_view t = texts.text(id);
    code_point_starts(t, starts);
    std::uint64_t hashes[kPairedSegments];
    for (std::uint32_t i = 0; i < k; ++i) {
      const Segment s = cut_segment(l, k, i, gap_);
      const std::uint64_t h = hash_code_points(t, starts, s.start, s.length);
      if (paired_[l]) hashes[i] = h;
      else pairs.emplace_back(key(h, l, i), static_cast<std::uint32_t>(id));
    }
    // Every pair at its own place in the text: what r holds where no
    // operation moved it (segments.h).
    if (paired_[l])
      for (std::uint32_t left_out = 0; left_out < kPairedSegments; ++left_out) {
        const auto [first, second] = paired_with(left_out);
        pairs.emplace_back(pair_key(hashes[first], hashes[second], l, left_out), static_cast<std::uint32_t>(id));
      }
    meter.spend(2 * t.size() + 8 * k);
  }
  sort_on_workers(pairs.begin(), pairs.end(), std::less<>(), workers, meter);

  postings_.reserve(pairs.size());
  for (std::size_t e = 0; e < pairs.size(); ++e) {
    if (e == 0 || pairs[e].first != pairs[e - 1].first)
      keys_.push_back({pairs[e].first, static_cast<std::uint32_t>(e)});
    postings_.push_back({pairs[e].second, texts.counts(pairs[e].second)});
    if (e % 4096 == 0) meter.spend(4096 * 8);
  }
  const std::size_t distinct = keys_.size();
  keys_.push_back({0, static_cast<std::uint32_t>(postings_.size())});
  const unsigned bits = std::max(1u, static_cast<unsigned>(std::bit_width(distinct)));
  shift_ = 64 - bits;
  directory_.assign((std::size_t{1} << bits) + 1, 0);
  for (std::size_t u = 0; u < distinct; ++u) ++directory_[slot(keys_[u].key) + 1];
  std::partial_sum(directory_.begin(), directory_.end(), directory_.begin());
}

void SegmentIndex::add_pair_probes(const WorkingQuery& r, std::uint32_t l, std::uint64_t t,
                                   std::vector<Probe>& probes) const {
  const std::int64_t shift = static_cast<std::int64_t>(r.length) - static_cast<std::int64_t>(l);
  if (static_cast<std::uint64_t>(shift < 0 ? -shift : shift) > t) return;
  const std::string_view text = r.text();
  Segment cut[kPairedSegments];
  for (std::uint32_t i = 0; i < kPairedSegments; ++i) cut[i] = cut_segment(l, kPairedSegments, i, gap_);
  // Each pair leaves out the segment the operation may touch; of the two,
  // one after it lies after the operation, and moves by D.
  for (std::uint32_t left_out = 0; left_out < kPairedSegments; ++left_out) {
    const std::array<std::uint32_t, 2> pair = paired_with(left_out);
    std::uint64_t hashes[2];
    for (std::size_t side = 0; side < 2; ++side) {
      const std::uint32_t i = pair[side];
      const std::int64_t q = cut[i].start + (i > left_out ? shift : 0);
      hashes[side] = hash_code_points(text, r.starts, static_cast<std::size_t>(q), cut[i].length);
    }
    const std::uint64_t h = pair_key(hashes[0], hashes[1], l, left_out);
    probes.push_back({h, t, l, 0, 0});
    __builtin_prefetch(&directory_[slot(h)]);
  }
}

void SegmentIndex::keep_shared_pairs(const WorkingTexts& texts, std::uint32_t shortest, double share,
                                     Meter& meter) {
  if (share <= 0 || std::none_of(paired_.begin(), paired_.end(), [](std::uint8_t p) { return p != 0; })) return;
  // The single segments of every stride-th text of a length that may be
  // paired, as (key, length).
  const std::size_t stride = std::max<std::size_t>(1, texts.size() / kPairSample);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys;
  std::vector<std::uint32_t> starts;
  for (std::size_t id = 0; id < texts.size(); id += stride) {
    const std::uint32_t l = texts.length(id);
    if (l < shortest || !paired_[l]) continue;
    const std::string_view t = texts.text(id);
    code_point_starts(t, starts);
    for (std::uint32_t i = 0; i < 2; ++i) {
      const Segment s = cut_segment(l, 2, i, gap_);
      keys.emplace_back(key(hash_code_points(t, starts, s.start, s.length), l, i), l);
    }
    meter.spend(2 * t.size());
  }
  std::sort(keys.begin(), keys.end());
  // A segment that n texts share is sampled m times, m of binomial law with
  // rate f = 1 / stride: E[m (m - 1)] = n (n - 1) f^2 and E[m] = n f. So, by
  // length, 1 + sum m (m - 1) / sum m / f estimates sum n^2 / sum n, the
  // number of texts that share a text's segment, on average over the texts
  // (exactly, with every text sampled).
  std::vector<double> repeats(paired_.size(), 0.0), sampled(paired_.size(), 0.0);
  for (std::size_t a = 0, b = 0; a < keys.size(); a = b) {
    while (b < keys.size() && keys[b].first == keys[a].first) ++b;
    const auto m = static_cast<double>(b - a);
    repeats[keys[a].second] += m * (m - 1);
    sampled[keys[a].second] += m;
  }
  const auto f = 1.0 / static_cast<double>(stride);
  for (std::size_t l = 0; l < paired_.size(); ++l)
    paired_[l] = paired_[l] && sampled[l] > 0 && 1 + repeats[l] / sampled[l] / f >= share;
}

std::uint64_t SegmentIndex::key(std::uint64_t bytes_hash, std::uint32_t length, std::uint32_t i) const {
  std::uint64_t h = bytes_hash ^ ((std::uint64_t{length} << 32) | i);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return h;
}

}  // namespace quillmatch::join
