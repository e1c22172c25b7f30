#include "kernels/pattern_masks.h"

#include <algorithm>

#include "text/text.h"

namespace quillmatch {

namespace {

constexpr std::uint64_t kWordBits = 64;


}  // namespace

HighCodePoints::HighCodePoints(std::span<const char32_t> pattern) {
  for (char32_t cp : pattern)
    if (cp >= 256) keys_.push_back(cp);
  std::sort(keys_.begin(), keys_.end());
  keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
}

std::size_t HighCodePoints::find(char32_t cp) const {
  auto it = std::lower_bound(keys_.begin(), keys_.end(), cp);
  return it != keys_.end() && *it == cp ? static_cast<std::size_t>(it - keys_.begin())
                                        : keys_.size();
}

WordMasks::WordMasks(std::span<const char32_t> pattern)
    : high_(pattern), high_masks_(high_.size(), 0) {}

WordMasks WordMasks::from_code_points(std::span<const char32_t> pattern) {
  WordMasks masks{pattern};
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    const char32_t cp = pattern[i];
    if (cp < 256)
      masks.table_[cp] |= bit;
    else
      masks.high_masks_[masks.high_.find(cp)] |= bit;
  }
  return masks;
}

BlockMasks::BlockMasks(std::span<const char32_t> pattern)
    : words_((pattern.size() + kWordBits - 1) / kWordBits),
      table_(256 * words_, 0),
      high_(pattern),
      high_rows_(high_.size() * words_, 0),
      zero_row_(words_, 0) {
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t w = i / kWordBits;
    const std::uint64_t bit = std::uint64_t{1} << (i % kWordBits);
    const char32_t cp = pattern[i];
    if (cp < 256)
      table_[cp * words_ + w] |= bit;
    else
      high_rows_[high_.find(cp) * words_ + w] |= bit;
  }
}

PreparedQuery::PreparedQuery(TextView text, bool fold)
    : query(text.view()), case_insensitive(fold) {
  if (is_ascii(query)) {
    length = query.size();
    fast = length >= 1 && length <= kWordBits;
  } else {
    length = count_code_points(query);
  }
  if (length >= 1 && length <= kWordBits) top = std::uint64_t{1} << (length - 1);
  if (!fast && !fold && top != 0) {
    by_code_point = true;
    std::size_t i = 0;
    for_each_code_point(query, [&](char32_t cp) {
      const std::uint64_t bit = std::uint64_t{1} << i++;
      if (cp < 256) {
        masks[cp] |= bit;
        return;
      }
      auto at = std::find_if(high.begin(), high.end(), [&](const auto& e) { return e.first == cp; });
      if (at == high.end()) high.emplace_back(cp, bit);
      else at->second |= bit;
    });
    latin1 = high.empty();
    absent = absent_byte(masks);
    return;
  }
  if (!fast && fold && top != 0) {
    // Folded: the lanes take the query when folding keeps its length and
    // brings every code point below U+0100; masks stay empty otherwise.
    const std::vector<char32_t> folded = decode_utf8(fold_case(query));
    if (folded.size() != length ||
        !std::all_of(folded.begin(), folded.end(), [](char32_t cp) { return cp < 256; }))
      return;
    for (std::size_t i = 0; i < folded.size(); ++i) {
      const auto cp = static_cast<unsigned char>(folded[i]);
      masks[cp] |= std::uint64_t{1} << i;
      if (cp < 0x80) masks[ascii_upper(cp)] |= std::uint64_t{1} << i;
    }
    latin1 = true;
    absent = absent_byte(masks);
    return;
  }
  const bool long_ascii = !fast && length > kWordBits && length == query.size();
  if (!fast && !long_ascii) return;
  if (long_ascii) {
    row_words = (length + 4 * kWordBits - 1) / (4 * kWordBits) * 4;
    rows.assign(256 * row_words, 0);
  }
  for (std::size_t i = 0; i < query.size(); ++i) {
    const auto b = static_cast<unsigned char>(query[i]);
    auto set = [&](unsigned char c) {
      if (fast)
        masks[c] |= std::uint64_t{1} << i;
      else
        rows[c * row_words + i / kWordBits] |= std::uint64_t{1} << (i % kWordBits);
    };
    if (fold) {
      set(ascii_lower(b));
      set(ascii_upper(b));
    } else {
      set(b);
    }
  }
}

}  // namespace quillmatch
