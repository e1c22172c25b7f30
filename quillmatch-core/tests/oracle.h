// Slow reference programmes and random-text helpers shared by the C++ tests and
// the fuzz targets. The oracles work on decoded code points and know nothing of
// bit vectors, word strategies or ASCII shortcuts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "text/case_tables.h"
#include "text/text.h"

namespace quillmatch::testing {

inline std::u32string to_u32(std::string_view utf8) {
  std::u32string out;
  for_each_code_point(utf8, [&](char32_t cp) { out.push_back(cp); });
  return out;
}

inline std::string to_utf8(std::u32string_view cps) {
  std::string out;
  for (char32_t cp : cps) append_utf8(out, cp);
  return out;
}

// Levenshtein, or optimal string alignment when `transpositions` is set.
inline std::uint64_t edit_distance_dp(std::u32string_view a, std::u32string_view b,
                                      bool transpositions) {
  // d(i, j): distance between the first i code points of a and the first j of b.
  std::vector<std::uint64_t> cells((a.size() + 1) * (b.size() + 1));
  const auto d = [&](std::size_t i, std::size_t j) -> std::uint64_t& {
    return cells[i * (b.size() + 1) + j];
  };
  for (std::size_t i = 0; i <= a.size(); ++i) d(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d(i, j) = std::min({d(i - 1, j) + 1, d(i, j - 1) + 1,
                          d(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (transpositions && i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d(i, j) = std::min(d(i, j), d(i - 2, j - 2) + 1);
    }
  }
  return d(a.size(), b.size());
}

inline std::uint64_t edit_distance_dp(std::string_view a8, std::string_view b8,
                                      bool transpositions) {
  return edit_distance_dp(to_u32(a8), to_u32(b8), transpositions);
}

// Jaro-Winkler, the textbook steps one at a time: window radius, greedy
// matching left to right, transpositions from the two matched sequences (halved
// as integers), a common prefix of at most 4, and the score in the documented
// order of operations. No cutoff, no prefix-scale check.
inline double jaro_winkler_steps(std::u32string_view a, std::u32string_view b, double p) {
  if (a.empty() || b.empty()) return a.empty() && b.empty() ? 1.0 : 0.0;
  const std::size_t half = std::max(a.size(), b.size()) / 2, r = half > 0 ? half - 1 : 0;
  std::vector<bool> used_a(a.size()), used_b(b.size());
  std::size_t m = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = i >= r ? i - r : 0; j <= i + r && j < b.size(); ++j)
      if (!used_b[j] && a[i] == b[j]) { used_a[i] = used_b[j] = true; ++m; break; }
  if (m == 0) return 0.0;
  std::vector<char32_t> seq_a, seq_b;
  for (std::size_t i = 0; i < a.size(); ++i) if (used_a[i]) seq_a.push_back(a[i]);
  for (std::size_t j = 0; j < b.size(); ++j) if (used_b[j]) seq_b.push_back(b[j]);
  std::size_t h = 0, l = 0;
  for (std::size_t k = 0; k < m; ++k) h += seq_a[k] != seq_b[k];
  while (l < 4 && l < a.size() && l < b.size() && a[l] == b[l]) ++l;
  const double md = static_cast<double>(m);
  const double jaro = ((md / static_cast<double>(a.size()) + md / static_cast<double>(b.size())) +
                       static_cast<double>(m - h / 2) / md) / 3.0;
  return jaro > 0.7 ? jaro + (1.0 - jaro) * (p * static_cast<double>(l)) : jaro;
}

// The full lowercase mapping read straight from the generated tables, ASCII
// included, over a decoded text: final sigma is decided by walking the code-point
// array, not the bytes, so it shares no code with fold_case.
inline std::u32string lowercase_walk(std::u32string_view text) {
  using unicode::is_case_ignorable;
  using unicode::is_cased;
  std::u32string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t cp = text[i];
    if (cp != 0x03A3) {
      out.push_back(unicode::lowercase(cp));
      if (cp == 0x0130) out.push_back(0x0307);
      continue;
    }
    std::size_t before = i;
    while (before > 0 && is_case_ignorable(text[before - 1])) --before;
    std::size_t after = i + 1;
    while (after < text.size() && is_case_ignorable(text[after])) ++after;
    const bool final_sigma = before > 0 && is_cased(text[before - 1]) &&
                             (after == text.size() || !is_cased(text[after]));
    out.push_back(final_sigma ? 0x03C2 : 0x03C3);
  }
  return out;
}

// A random text over `alphabet` whose length is drawn from [0, max_len].
inline std::string random_text(std::mt19937& rng, std::u32string_view alphabet,
                               std::size_t min_len, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> len(min_len, max_len), pick(0, alphabet.size() - 1);
  std::u32string out(len(rng), U' ');
  for (char32_t& c : out) c = alphabet[pick(rng)];
  return to_utf8(out);
}

// Alphabets small enough that matches and transpositions are frequent.
inline const std::u32string kAsciiAlphabet = U"abcAB";
inline const std::u32string kMixedAlphabet = U"abÉé\u4E00\u4E01\U0001F600";

}  // namespace quillmatch::testing
