#include "join/deletions.h"

#include <bit>
#include <span>
#include <tuple>
#include <numeric>

namespace quillmatch::join {

std::uint64_t DeletionIndex::variants(std::uint64_t l, std::uint32_t d) {
  // sum_{k <= min(d, l)} C(l, k), each term from the one before it.
  std::uint64_t sum = 1, term = 1;
  for (std::uint64_t k = 1; k <= d && k <= l; ++k) {
    term = term * (l - k + 1) / k;
    sum += term;
  }
  return sum;
}

std::uint64_t DeletionIndex::held_entries(const WorkingTexts& texts, std::uint32_t d, std::uint32_t longest) {
  std::uint64_t entries = 0;
  for (std::size_t id = 0; id < texts.size(); ++id)
    if (texts.length(id) <= longest) entries += variants(texts.length(id), d);
  return entries;
}

void DeletionIndex::text_keys(std::size_t id, std::vector<std::uint32_t>& starts, std::string& buffer,
                              std::vector<std::uint64_t>& out) const {
  const std::string_view t = texts_.text(id);
  const std::uint32_t l = texts_.length(id);
  out.clear();
  code_point_starts(t, starts);
  each_variant(t, starts, std::min(d_, l), buffer, [&](std::uint64_t h, std::uint32_t) { out.push_back(key(h, l)); });
  if (!repeats_a_byte(t)) return;
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
}

template <class Block>
void DeletionIndex::each_key_block(std::size_t groups, Meter& meter, Block&& block) const {
  constexpr std::size_t kBlockKeys = 256;
  std::vector<std::uint32_t> starts;
  std::string buffer;
  std::vector<std::uint64_t> one, keys;
  std::vector<std::uint32_t> group;
  for (std::size_t g = 0; g < groups; ++g) {
    text_keys(equal_.first(g), starts, buffer, one);
    keys.insert(keys.end(), one.begin(), one.end());
    group.insert(group.end(), one.size(), static_cast<std::uint32_t>(g));
    meter.spend(8 * one.size() * (heads_[g].length + 1));
    if (keys.size() >= kBlockKeys || g + 1 == groups) {
      block(std::span<const std::uint64_t>(keys), std::span<const std::uint32_t>(group));
      keys.clear();
      group.clear();
    }
  }
}

DeletionIndex::DeletionIndex(const WorkingTexts& texts, std::uint32_t d, std::uint32_t longest, Meter& meter)
    : d_(d),
      longest_(longest),
      equal_(group_equal(
          static_cast<std::uint32_t>(texts.size()), [&](std::uint32_t id) { return texts.length(id) <= longest; },
          [&](std::uint32_t id) { return texts.text(id); }, meter)),
      texts_(texts) {
  for (std::size_t g = 0; g < equal_.size(); ++g) {
    const std::uint32_t first = equal_.first(g);
    heads_.push_back({texts.counts(first), first, static_cast<std::uint8_t>(texts.length(first)),
                      equal_.group(g).size() > 1});
  }
  const std::size_t groups = heads_.size();
  // About 4 to 8 entries a bucket, at most 2^32 buckets (the tag keeps 16 of
  // the bits below the slot's, so the slot may take up to 48).
  std::uint64_t most = 0;
  for (std::size_t g = 0; g < groups; ++g) most += variants(heads_[g].length, d);
  bits_ = std::clamp(static_cast<unsigned>(std::bit_width(most / 4)), 1u, 32u);
  shift_ = 64 - bits_;
  directory_.assign((std::size_t{1} << bits_) + 1, 0);

  // First the size of each bucket, then its entries, from the same keys.
  // Both passes go through the keys a block of texts at a time, each step's
  // random reads of a block started together (the directory and the entries
  // are far larger than the cache; one key at a time, each read waits alone).
  each_key_block(groups, meter, [&](std::span<const std::uint64_t> keys, std::span<const std::uint32_t>) {
    for (const std::uint64_t k : keys) __builtin_prefetch(&directory_[slot(k) + 1], 1);
    for (const std::uint64_t k : keys) ++directory_[slot(k) + 1];
  });
  std::partial_sum(directory_.begin(), directory_.end(), directory_.begin());
  groups_.resize(directory_.back());
  tags_.resize(directory_.back());
  std::vector<std::uint32_t> at(directory_.begin(), directory_.end() - 1);
  std::vector<std::uint32_t> entries;
  each_key_block(groups, meter, [&](std::span<const std::uint64_t> keys, std::span<const std::uint32_t> group) {
    for (const std::uint64_t k : keys) __builtin_prefetch(&at[slot(k)], 1);
    entries.clear();
    for (const std::uint64_t k : keys) {
      entries.push_back(at[slot(k)]++);
      __builtin_prefetch(&tags_[entries.back()], 1);
      __builtin_prefetch(&groups_[entries.back()], 1);
    }
    for (std::size_t x = 0; x < keys.size(); ++x) {
      tags_[entries[x]] = tag(keys[x]);
      groups_[entries[x]] = group[x];
    }
  });
  at.clear();
  at.shrink_to_fit();
  // Each bucket by tag, then group.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> bucket;
  for (std::size_t b = 0; b + 1 < directory_.size(); ++b) {
    const std::uint32_t from = directory_[b], to = directory_[b + 1];
    if (to - from < 2) continue;
    bucket.clear();
    for (std::uint32_t e = from; e < to; ++e) bucket.emplace_back(tags_[e], groups_[e]);
    std::sort(bucket.begin(), bucket.end());
    for (std::uint32_t e = from; e < to; ++e) std::tie(tags_[e], groups_[e]) = bucket[e - from];
    meter.spend(16 * (to - from));
  }
}

}  // namespace quillmatch::join
