#include "join/deletions.h"

#include <array>
#include <atomic>
#include <bit>
#include <numeric>
#include <span>
#include <tuple>

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
void DeletionIndex::each_key_block(std::size_t first, std::size_t last, Meter& meter, Block&& block) const {
  std::vector<std::uint32_t> starts;
  std::string buffer;
  std::vector<std::uint64_t> one, keys;
  std::vector<std::uint32_t> group;
  for (std::size_t g = first; g < last; ++g) {
    text_keys(equal_.first(g), starts, buffer, one);
    keys.insert(keys.end(), one.begin(), one.end());
    group.insert(group.end(), one.size(), static_cast<std::uint32_t>(g));
    meter.spend(8 * one.size() * (heads_[g].length + 1));
    if (keys.size() >= kBlockKeys || g + 1 == last) {
      block(std::span<const std::uint64_t>(keys), std::span<const std::uint32_t>(group));
      keys.clear();
      group.clear();
    }
  }
}

namespace {

// Below this many groups the build runs on the calling thread alone.
constexpr std::size_t kLeastParallelGroups = std::size_t{1} << 14;

// Parts of [0, n) for run_parts: a few per worker, so that uneven parts even
// out.
std::size_t parts_of(std::size_t n, std::size_t workers) { return std::min(n, 4 * workers); }

// A count or a cursor bumped: atomically where other parts bump it too. (A
// locked add waits for its line, where a plain one lets the next misses
// start: one part alone takes the plain one.)
std::uint32_t bump(std::uint32_t& slot, bool shared) {
  static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
  return shared ? std::atomic_ref<std::uint32_t>(slot).fetch_add(1, std::memory_order_relaxed) : slot++;
}

}  // namespace

DeletionIndex::DeletionIndex(const WorkingTexts& texts, std::uint32_t d, std::uint32_t longest, std::size_t workers,
                             Meter& meter)
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

  // First the size of each bucket, then its entries, from the same keys;
  // then each bucket sorted. Each step runs in parts on the workers: the
  // parts of the first two share the counts and the cursors, bumped
  // atomically (an entry's place within its bucket is then any, and the
  // sort makes the layout the same whatever the workers); those of the third
  // hold buckets of their own. Within a part the keys go a block of texts at
  // a time, each step's random reads of a block started together (the
  // directory and the entries are far larger than the cache; one key at a
  // time, each read waits alone).
  const std::size_t used = groups < kLeastParallelGroups ? 1 : std::max<std::size_t>(workers, 1);
  const std::size_t parts = std::max<std::size_t>(1, parts_of(groups, used));
  const bool shared = used > 1;
  const auto by_groups = [&](auto&& block) {
    run_parts(meter.pool(), used, parts, [&](std::size_t k, const ThreadPool& pool) {
      Meter part(pool);
      each_key_block(part_begin(groups, parts, k), part_begin(groups, parts, k + 1), part, block);
    });
  };
  by_groups([&](std::span<const std::uint64_t> keys, std::span<const std::uint32_t>) {
    for (const std::uint64_t k : keys) __builtin_prefetch(&directory_[slot(k) + 1], 1);
    for (const std::uint64_t k : keys) bump(directory_[slot(k) + 1], shared);
  });
  std::partial_sum(directory_.begin(), directory_.end(), directory_.begin());
  groups_.resize(directory_.back());
  tags_.resize(directory_.back());
  std::vector<std::uint32_t> at(directory_.begin(), directory_.end() - 1);
  by_groups([&](std::span<const std::uint64_t> keys, std::span<const std::uint32_t> group) {
    for (const std::uint64_t k : keys) __builtin_prefetch(&at[slot(k)], 1);
    // A block is under kBlockKeys keys and then one text's: on the stack,
    // unless that text has more variants than a block's keys.
    std::array<std::uint32_t, 2 * kBlockKeys> on_stack;
    std::vector<std::uint32_t> spilled;
    std::uint32_t* const entry =
        keys.size() <= on_stack.size() ? on_stack.data() : (spilled.resize(keys.size()), spilled.data());
    for (std::size_t x = 0; x < keys.size(); ++x) {
      entry[x] = bump(at[slot(keys[x])], shared);
      __builtin_prefetch(&tags_[entry[x]], 1);
      __builtin_prefetch(&groups_[entry[x]], 1);
    }
    for (std::size_t x = 0; x < keys.size(); ++x) {
      tags_[entry[x]] = tag(keys[x]);
      groups_[entry[x]] = group[x];
    }
  });
  at.clear();
  at.shrink_to_fit();
  // Each bucket by tag, then group.
  const std::size_t buckets = directory_.size() - 1;
  const std::size_t bucket_parts = std::max<std::size_t>(1, parts_of(buckets, used));
  run_parts(meter.pool(), used, bucket_parts, [&](std::size_t k, const ThreadPool& pool) {
    Meter part(pool);
    std::vector<std::pair<std::uint16_t, std::uint32_t>> bucket;
    for (std::size_t b = part_begin(buckets, bucket_parts, k); b < part_begin(buckets, bucket_parts, k + 1); ++b) {
      const std::uint32_t from = directory_[b], to = directory_[b + 1];
      if (to - from < 2) continue;
      bucket.clear();
      for (std::uint32_t e = from; e < to; ++e) bucket.emplace_back(tags_[e], groups_[e]);
      std::sort(bucket.begin(), bucket.end());
      for (std::uint32_t e = from; e < to; ++e) std::tie(tags_[e], groups_[e]) = bucket[e - from];
      part.spend(16 * (to - from));
    }
  });
}

}  // namespace quillmatch::join
