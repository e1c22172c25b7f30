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
// two, by the longest length paired (0: none):
//   a million distinct surnames (mean 7.5): 0: 2.51 s; 8: 1.97; 10: 1.99;
//     12: 1.92; 14: 1.95; all: 2.03;
//   a million Faker names (mean 17): 0: 1.13 s; 8: 1.09; 10: 1.15; 12: 1.14;
//     14: 1.23; all: 1.31.
constexpr std::uint32_t kPairedLongest = 12;

}  // namespace

SegmentIndex::SegmentIndex(const WorkingTexts& texts, const Thresholds& thresholds, std::uint32_t gap,
                           Reach reach, std::uint32_t shortest, Meter& meter)
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
    if (segments_[l] == 2 && l >= kPairedSegments * (1 + gap) - gap && l <= kPairedLongest) {
      segments_[l] = kPairedSegments;
      paired_[l] = 1;
    }
  }
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
      const std::uint32_t b0 = starts[s.start], b1 = starts[s.start + s.length];
      const std::uint64_t h = hash_bytes(t.data() + b0, b1 - b0);
      if (paired_[l]) hashes[i] = h;
      else pairs.emplace_back(key(h, l, i), static_cast<std::uint32_t>(id));
    }
    // Every pair at its own place in the text: what r holds where no
    // operation moved it (segments.h).
    if (paired_[l])
      for (std::uint32_t left_out = 0; left_out < kPairedSegments; ++left_out) {
        const std::uint32_t first = left_out == 0 ? 1 : 0, second = left_out == 2 ? 1 : 2;
        pairs.emplace_back(pair_key(hashes[first], hashes[second], l, left_out), static_cast<std::uint32_t>(id));
      }
    meter.spend(2 * t.size() + 8 * k);
  }
  sort_polled(pairs.begin(), pairs.end(), std::less<>(), meter);

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

std::uint64_t SegmentIndex::key(std::uint64_t bytes_hash, std::uint32_t length, std::uint32_t i) const {
  std::uint64_t h = bytes_hash ^ ((std::uint64_t{length} << 32) | i);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return h;
}

}  // namespace quillmatch::join
