// Textbook dynamic programmes and random-text helpers shared by the C++ tests.
// The oracles work on decoded code points and know nothing of bit vectors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "text.h"

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
inline std::uint64_t edit_distance_dp(std::string_view a8, std::string_view b8,
                                      bool transpositions) {
  const std::u32string a = to_u32(a8), b = to_u32(b8);
  std::vector<std::vector<std::uint64_t>> d(a.size() + 1,
                                            std::vector<std::uint64_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (transpositions && i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
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
