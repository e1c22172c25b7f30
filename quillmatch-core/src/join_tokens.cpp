#include "join_tokens.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "jaro_winkler.h"

namespace quillmatch::join {

namespace {
constexpr double kMargin = 1e-9;
}  // namespace

JaroBounds::JaroBounds(double cutoff, double p) {
  double least = cutoff;
  if (cutoff > jw::kBoostThreshold) {
    const double most_bonus = static_cast<double>(jw::kMaxPrefix) * p;
    least = most_bonus < 1.0 ? std::max(jw::kBoostThreshold, (cutoff - most_bonus) / (1.0 - most_bonus))
                             : jw::kBoostThreshold;
  }
  least -= kMargin;
  coefficient_ = 3.0 * least - 1.0;
  ratio_ = 3.0 * least - 2.0;
}

std::uint32_t JaroBounds::shortest_partner(std::uint32_t n) const {
  if (ratio_ <= 0.0) return n == 0 ? 0 : 1;
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::floor(ratio_ * n)));
}

std::uint32_t JaroBounds::longest_partner(std::uint32_t n) const {
  if (ratio_ <= 0.0) return UINT32_MAX;
  return static_cast<std::uint32_t>(std::min(std::ceil(n / ratio_), double{UINT32_MAX}));
}

std::uint32_t JaroBounds::overlap(std::uint32_t a, std::uint32_t b) const {
  if (a == 0 || b == 0 || coefficient_ <= 0.0) return 1;
  const double need = coefficient_ * a * b / (static_cast<double>(a) + b);
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::ceil(need - kMargin)));
}

template <class Each>
void TokenIndex::for_each_token(std::string_view text, Each&& each) {
  // How often each code point came before: texts are short, so a small list
  // searched from the back serves.
  std::vector<std::pair<char32_t, std::uint32_t>> seen;
  for_each_code_point(text, [&](char32_t c) {
    auto it = std::find_if(seen.begin(), seen.end(), [c](const auto& s) { return s.first == c; });
    if (it == seen.end()) {
      seen.emplace_back(c, 0);
      it = seen.end() - 1;
    }
    each(c, it->second++);
  });
}

namespace {
std::uint64_t token(char32_t c, std::uint32_t seen) { return (std::uint64_t{c} << 32) | seen; }
}  // namespace

TokenIndex::TokenIndex(const WorkingTexts& texts, const JaroBounds& bounds)
    : bounds_(bounds), texts_(texts) {
  // Count every token, then rank them: rarest first, ties by token.
  std::unordered_map<std::uint64_t, std::uint32_t> counts;
  for (std::size_t id = 0; id < texts.size(); ++id)
    for_each_token(texts.text(id), [&](char32_t c, std::uint32_t seen) { ++counts[token(c, seen)]; });
  std::vector<std::pair<std::uint32_t, std::uint64_t>> order;
  order.reserve(counts.size());
  for (const auto& [t, n] : counts) order.emplace_back(n, t);
  std::sort(order.begin(), order.end());
  rank_.reserve(order.size());
  for (std::size_t r = 0; r < order.size(); ++r) rank_[order[r].second] = static_cast<std::uint32_t>(r + 1);

  // List each text under the rarest tokens of its prefix: counting sort by rank.
  std::vector<std::uint32_t> ranks;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> listed;  // (rank, id), by id
  for (std::size_t id = 0; id < texts.size(); ++id) {
    const std::uint32_t n = texts.length(id);
    if (n == 0) continue;
    const std::uint32_t o = bounds_.least_overlap(n);
    if (o > n) continue;  // no partner can share enough
    ranks.clear();
    for_each_token(texts.text(id), [&](char32_t c, std::uint32_t seen) { ranks.push_back(rank_of(c, seen)); });
    std::sort(ranks.begin(), ranks.end());
    for (std::uint32_t t = 0; t < n - o + 1; ++t) listed.emplace_back(ranks[t], static_cast<std::uint32_t>(id));
  }
  // Rank r's list is ids_[starts_[r - 1] .. starts_[r]), in id order (the
  // texts were visited in it).
  starts_.assign(order.size() + 1, 0);
  for (const auto& [r, id] : listed) ++starts_[r];
  std::partial_sum(starts_.begin(), starts_.end(), starts_.begin());
  ids_.resize(listed.size());
  std::vector<std::uint32_t> next(starts_.begin(), starts_.end() - 1);
  for (const auto& [r, id] : listed) ids_[next[r - 1]++] = id;
}

std::uint32_t TokenIndex::rank_of(char32_t c, std::uint32_t seen) const {
  const auto it = rank_.find(token(c, seen));
  return it == rank_.end() ? 0 : it->second;
}

void TokenIndex::ranks(const WorkingQuery& r, std::vector<std::uint32_t>& out) const {
  out.clear();
  for_each_token(r.text(), [&](char32_t c, std::uint32_t seen) { out.push_back(rank_of(c, seen)); });
  std::sort(out.begin(), out.end());
}

std::size_t TokenIndex::memory_bytes() const {
  return rank_.size() * 32 + starts_.capacity() * 4 + ids_.capacity() * 4;
}

}  // namespace quillmatch::join
