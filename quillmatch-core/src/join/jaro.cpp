#include "join/jaro.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

#include "kernels/jaro_winkler.h"
#include "many/polled_sort.h"

namespace quillmatch::join {

namespace {
constexpr double kMargin = 1e-9;
}  // namespace

JaroBounds::JaroBounds(double cutoff, double p, std::uint32_t prefix) {
  double least = cutoff;
  if (cutoff > jw::kBoostThreshold) {
    const double most_bonus = static_cast<double>(std::min<std::uint64_t>(prefix, jw::kMaxPrefix)) * p;
    least = most_bonus < 1.0 ? std::max(jw::kBoostThreshold, (cutoff - most_bonus) / (1.0 - most_bonus))
                             : jw::kBoostThreshold;
  }
  least -= kMargin;
  coefficient_ = 3.0 * least - 1.0;
  ratio_ = 3.0 * least - 2.0;
}

std::uint32_t JaroBounds::shortest_partner(std::uint32_t n) const {
  if (ratio_ <= 0.0) return 1;
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::floor(ratio_ * n)));
}

std::uint32_t JaroBounds::longest_partner(std::uint32_t n) const {
  if (ratio_ <= 0.0) return UINT32_MAX;
  return static_cast<std::uint32_t>(std::min(std::ceil(n / ratio_), double{UINT32_MAX}));
}

std::int64_t JaroBounds::most_count_distance(std::uint32_t a, std::uint32_t b) const {
  // m_min: the least m with (m/a + m/b + 1) / 3 >= J_min, and at least 1.
  const double need = coefficient_ * a * b / (static_cast<double>(a) + b);
  const std::int64_t m = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(need - kMargin)));
  if (m > std::min(a, b)) return -1;
  return std::int64_t{a} + b - 2 * m;
}

CompositionIndex::CompositionIndex(const WorkingTexts& texts, const JaroBounds& bounds, bool by_initial,
                                   Meter& meter)
    : bounds_(bounds), by_initial_(by_initial) {
  // Four groups of buckets of about equal weight among these texts, the
  // heaviest bucket first into the lightest group.
  std::array<std::uint64_t, kCountBuckets> weight{};
  for (std::size_t id = 0; id < texts.size(); ++id)
    for (std::size_t k = 0; k < kCountBuckets; ++k) weight[k] += texts.counts(id)[k];
  std::array<std::size_t, kCountBuckets> order;
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return weight[x] > weight[y]; });
  std::array<std::uint64_t, 4> load{};
  for (const std::size_t k : order) {
    const auto g = static_cast<std::uint8_t>(std::min_element(load.begin(), load.end()) - load.begin());
    group_[k] = g;
    load[g] += weight[k];
  }

  struct Item {
    std::uint64_t cell;  // cell_key: the initial and the length
    std::uint32_t length, s1;
    std::uint64_t s23;
    std::uint32_t id;
  };
  std::vector<Item> items;
  for (std::size_t id = 0; id < texts.size(); ++id) {
    const std::uint32_t n = texts.length(id);
    if (n == 0) continue;
    const GroupSums g = sums(texts.text(id));
    items.push_back({cell_key(texts.text(id), n), n, g.s1, (std::uint64_t{g.s2} << 32) | g.s3,
                     static_cast<std::uint32_t>(id)});
    longest_ = std::max(longest_, n);
    meter.spend(2 * texts.text(id).size() + 16);
  }
  sort_polled(items.begin(), items.end(), [](const Item& x, const Item& y) {
    return std::tie(x.cell, x.s1, x.s23, x.id) < std::tie(y.cell, y.s1, y.s23, y.id);
  }, meter);
  ids_.reserve(items.size());
  sums_.reserve(items.size());
  counts_.reserve(items.size());
  for (std::size_t e = 0; e < items.size(); ++e) {
    const Item& it = items[e];
    std::vector<std::uint32_t>& cell = cells_[it.cell];
    if (cell.empty()) cell.assign(std::size_t{it.length} + 2, 0);
    ++cell[it.s1 + 1];
    if (e + 1 == items.size() || items[e + 1].cell != it.cell) {
      // The counts of each s1 become where its run begins.
      cell[0] = static_cast<std::uint32_t>(e + 1 - (std::accumulate(cell.begin(), cell.end(), std::size_t{0})));
      std::partial_sum(cell.begin(), cell.end(), cell.begin());
    }
    ids_.push_back(it.id);
    sums_.push_back(it.s23);
    counts_.push_back(texts.counts(it.id));
    if (e % 4096 == 0) meter.spend(4096 * 16);
  }
}

// The length above, the first code point (21 bits) when by initial.
std::uint64_t CompositionIndex::cell_key(std::string_view text, std::uint64_t length) const {
  if (!by_initial_ || text.empty()) return length;
  auto p = reinterpret_cast<const unsigned char*>(text.data());
  return (std::uint64_t{decode_next(p, p + text.size())} << 32) | length;
}

PrefixIndex::PrefixIndex(const WorkingTexts& texts, const JaroBounds& bounds, Meter& meter) : bounds_(bounds) {
  struct Item {
    std::uint64_t key;
    std::uint32_t length, id;
  };
  std::vector<Item> items;
  for (std::size_t id = 0; id < texts.size(); ++id)
    if (texts.length(id) >= kPrefixPoints)
      items.push_back({key(texts.text(id)), texts.length(id), static_cast<std::uint32_t>(id)});
  meter.spend(16 * texts.size());
  sort_polled(items.begin(), items.end(), [](const Item& x, const Item& y) {
    return std::tie(x.key, x.length, x.id) < std::tie(y.key, y.length, y.id);
  }, meter);
  for (const Item& it : items) {
    keys_.push_back(it.key);
    ids_.push_back(it.id);
    lengths_.push_back(it.length);
    counts_.push_back(texts.counts(it.id));
  }
}

// The first kPrefixPoints code points, 21 bits each.
std::uint64_t PrefixIndex::key(std::string_view text) {
  std::uint64_t k = 0;
  std::uint32_t n = 0;
  auto p = reinterpret_cast<const unsigned char*>(text.data());
  const auto end = p + text.size();
  while (p < end && n++ < kPrefixPoints) k = (k << 21) | decode_next(p, end);
  return k;
}

std::uint64_t PrefixIndex::key(const WorkingQuery& r) { return key(r.text()); }

GroupSums CompositionIndex::sums(std::string_view text) const {
  GroupSums g;
  for_each_code_point(text, [&](char32_t c) {
    const std::uint8_t k = group_[count_bucket(c)];
    g.s1 += k == 0;
    g.s2 += k == 1;
    g.s3 += k == 2;
  });
  return g;
}

}  // namespace quillmatch::join
