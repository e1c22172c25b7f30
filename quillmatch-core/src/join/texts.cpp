#include "join/texts.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace quillmatch::join {

namespace {

// The bucket of each ASCII code point, letters of both cases alike.
constexpr std::array<std::uint8_t, 128> kAsciiBuckets = [] {
  std::array<std::uint8_t, 128> b{};
  for (std::size_t c = 0; c < 128; ++c) b[c] = c >= '0' && c <= '9' ? 15 : 14;  // digits; the rest
  const char* groups[] = {"e", "a", "i", "o", "n", "r", "s", "t", "l", "dh", "cm", "up", "gb", "fkvwyzjqx"};
  for (std::uint8_t g = 0; g < 14; ++g)
    for (const char* c = groups[g]; *c; ++c) {
      b[static_cast<unsigned char>(*c)] = g;
      b[static_cast<unsigned char>(*c - 'a' + 'A')] = g;
    }
  return b;
}();

}  // namespace

std::size_t count_bucket(char32_t c) {
  return c < 0x80 ? kAsciiBuckets[c] : (static_cast<std::uint32_t>(c) * 0x9E3779B1u) >> 28;
}

CharCounts count_chars(std::string_view text) {
  CharCounts counts{};
  for_each_code_point(text, [&](char32_t c) {
    std::uint8_t& n = counts[count_bucket(c)];
    n = static_cast<std::uint8_t>(n + (n < std::numeric_limits<std::uint8_t>::max()));
  });
  return counts;
}

void code_point_starts(std::string_view text, std::vector<std::uint32_t>& out) {
  // Every offset is written, and kept (by moving past it) unless it is a
  // continuation byte: no branch on the bytes, which mix at random in
  // non-ASCII texts.
  out.resize(text.size() + 1);
  std::size_t n = 0;
  for (std::size_t b = 0; b < text.size(); ++b) {
    out[n] = static_cast<std::uint32_t>(b);
    n += !is_continuation(static_cast<unsigned char>(text[b]));
  }
  out[n++] = static_cast<std::uint32_t>(text.size());
  out.resize(n);
}

WorkingTexts::WorkingTexts(std::span<const TextView> texts, bool case_insensitive, Meter& meter) {
  std::size_t total = 0;
  for (const TextView& t : texts) {
    total += t.size;
    longest_given_ = std::max(longest_given_, t.size);
  }
  bytes_.reserve(total);  // folding may lengthen a text; the string grows then
  starts_.reserve(texts.size() + 1);
  lengths_.reserve(texts.size());
  counts_.reserve(texts.size());
  starts_.push_back(0);
  WorkingText form;
  for (const TextView& t : texts) {
    if (case_insensitive) form.fold(t.view());
    else form.borrow(t.view());
    const std::string_view w = form.view();
    bytes_.append(w);
    starts_.push_back(bytes_.size());
    lengths_.push_back(static_cast<std::uint32_t>(count_code_points(w)));
    counts_.push_back(count_chars(w));
    meter.spend(2 * t.size + 16);
  }
}

void WorkingQuery::take(TextView query, bool case_insensitive) {
  if (case_insensitive) form.fold(query.view());
  else form.borrow(query.view());
  const std::string_view w = form.view();
  code_point_starts(w, starts);
  length = static_cast<std::uint32_t>(starts.size() - 1);
  counts = count_chars(w);
  may_equal_held = true;
}

}  // namespace quillmatch::join
