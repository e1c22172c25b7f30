// Jaro-Winkler in the core library, without the interpreter: one 1 000-code-point
// pair at a time against levenshtein_bp on the same pairs and against the plain
// window scan, and the batch scorer over a million short words in chunks of 256.
// Prints times and the ratios side by side; absolute times drift between runs.
// Times are this thread's CPU time, so that other work sharing the cores is
// not counted while the thread waits.
//
//   cmake -S . -B build/bench -DQUILLMATCH_BUILD_MODULE=OFF -DQUILLMATCH_BUILD_BENCH=ON
//   cmake --build build/bench --target core_jaro_winkler && build/bench/bench/core_jaro_winkler
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "cpu_time.h"
#include "quillmatch/quillmatch.h"

namespace {

using namespace quillmatch;

// The plain scan of every window, as a reference for the cost of matching alone
// (decoded texts, one flag byte per position). Not used for any result.
double plain_scan(const std::u32string& a, const std::u32string& b) {
  std::vector<unsigned char> fa(a.size()), fb(b.size());
  const std::size_t half = std::max(a.size(), b.size()) / 2, r = half ? half - 1 : 0;
  std::size_t m = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = i > r ? i - r : 0; j <= i + r && j < b.size(); ++j)
      if (!fb[j] && a[i] == b[j]) { fa[i] = fb[j] = 1; ++m; break; }
  std::size_t h = 0;
  for (std::size_t i = 0, j = 0; i < a.size(); ++i) {
    if (!fa[i]) continue;
    while (!fb[j]) ++j;
    h += a[i] != b[j++];
  }
  return static_cast<double>(m) + static_cast<double>(h);
}

// Best of `repeats` rounds of `inner` calls of f(), in nanoseconds per call.
template <class F>
double best_per_call(int repeats, int inner, F&& f) {
  return best_ns(static_cast<std::size_t>(inner), repeats, [&] {
    for (int k = 0; k < inner; ++k) f();
  });
}

std::string random_word(std::mt19937& rng, std::size_t len, std::string_view letters) {
  std::string s(len, ' ');
  for (char& c : s) c = letters[rng() % letters.size()];
  return s;
}

// A copy with about one position in `every` replaced, swapped or dropped.
std::string mutate(std::mt19937& rng, std::string s, std::size_t every, std::string_view letters) {
  for (std::size_t k = s.size() / every; k > 0 && s.size() > 2; --k) {
    const std::size_t at = rng() % (s.size() - 1);
    switch (rng() % 3) {
      case 0: s[at] = letters[rng() % letters.size()]; break;
      case 1: std::swap(s[at], s[at + 1]); break;
      default: s.erase(at, 1);
    }
  }
  return s;
}

volatile double sink;

void long_pairs(const char* name, const std::vector<std::pair<std::string, std::string>>& pairs,
                bool ascii) {
  std::vector<std::pair<std::u32string, std::u32string>> decoded;
  for (const auto& [a, b] : pairs) {
    std::u32string x, y;
    for (unsigned char c : a) x += c;  // only used for the ASCII sets
    for (unsigned char c : b) y += c;
    decoded.emplace_back(x, y);
  }
  const int inner = static_cast<int>(pairs.size());
  std::size_t k = 0;
  const double jw = best_per_call(5, inner, [&] {
    const auto& [a, b] = pairs[k++ % pairs.size()];
    sink = jaro_winkler(a, b, {}, {}, false, {}).value();
  });
  const double lev = best_per_call(5, inner, [&] {
    const auto& [a, b] = pairs[k++ % pairs.size()];
    sink = static_cast<double>(levenshtein_bp(a, b, {}, false, {}).value());
  });
  std::printf("%-34s jaro_winkler %8.2f us  levenshtein_bp %8.2f us  ratio %.2f", name, jw / 1e3,
              lev / 1e3, jw / lev);
  if (ascii) {
    const double plain = best_per_call(3, inner, [&] {
      const auto& [a, b] = decoded[k++ % decoded.size()];
      sink = plain_scan(a, b);
    });
    std::printf("  plain scan %8.2f us  plain/jw %.1f", plain / 1e3, plain / jw);
  }
  std::printf("\n");
}

void batch_words(std::mt19937& rng) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::vector<std::string> words;
  for (int k = 0; k < 1'000'000; ++k) words.push_back(random_word(rng, 5 + rng() % 16, letters));
  const std::vector<TextView> views(words.begin(), words.end());
  std::vector<double> out(views.size());
  for (bool fold : {false, true}) {
    Result<JaroWinklerScorer> made = JaroWinklerScorer::make("SoftwAreXy", {}, fold);
    const JaroWinklerScorer& scorer = made.value();
    constexpr std::size_t kChunk = 256;
    const double ns = best_per_call(5, 1, [&] {
      for (std::size_t at = 0; at < views.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, views.size() - at);
        scorer.score(std::span(views).subspan(at, n), std::span(out).subspan(at, n));
      }
    });
    std::printf("JaroWinklerScorer, 1M words of 5-20 letters, case_insensitive=%d: %.1f ns/word\n",
                fold, ns / static_cast<double>(views.size()));
  }
}

void batch_texts(const std::vector<std::pair<std::string, std::string>>& pairs,
                 const std::string& long_query) {
  std::vector<TextView> texts;
  for (int k = 0; k < 2000; ++k) texts.emplace_back(pairs[k % pairs.size()].second);
  for (const char* query : {"SoftwAreXy", long_query.c_str()}) {
    Result<JaroWinklerScorer> made = JaroWinklerScorer::make(query, {}, false);
    const JaroWinklerScorer& scorer = made.value();
    std::vector<double> res(texts.size());
    const double ns = best_per_call(3, 1, [&] { scorer.score(texts, res); });
    std::printf("JaroWinklerScorer, %zu-letter query, 2000 texts of ~950 letters: %.2f us/text\n",
                std::string_view(query).size(), ns / 1e3 / static_cast<double>(texts.size()));
  }
}

}  // namespace

// With an argument, only the sections whose name starts with it: "long",
// "short", "batch-words" or "batch-texts" ("batch" runs both batch sections).
int main(int argc, char** argv) {
  const std::string_view only = argc > 1 ? argv[1] : "";
  auto run = [&](std::string_view section) { return section.starts_with(only); };
  std::mt19937 rng(7);
  const std::string lower = "abcdefghijklmnopqrstuvwxyz";
  std::vector<std::pair<std::string, std::string>> random_pairs, similar_pairs, latin_pairs;
  for (int k = 0; k < 64; ++k) {
    random_pairs.emplace_back(random_word(rng, 1000, lower), random_word(rng, 1000, lower));
    const std::string a = random_word(rng, 1000, lower);
    similar_pairs.emplace_back(a, mutate(rng, a, 10, lower));
    std::string x = a, y = mutate(rng, a, 10, lower);
    x.replace(rng() % 900, 1, "\xC3\xA9");  // one U+00E9 puts the pair in code-point form
    y.replace(rng() % 900, 1, "\xE4\xB8\x80");  // and one U+4E00
    latin_pairs.emplace_back(x, y);
  }
  if (run("long")) {
    long_pairs("1000 random letters", random_pairs, true);
    long_pairs("1000 letters vs a 10% edit", similar_pairs, true);
    long_pairs("the same, non-ASCII", latin_pairs, false);
  }
  if (run("short")) {
    // Short pairs in code-point form: the block strategy's fixed costs.
    const std::string pairs[][2] = {{"caf\xC3\xA9 au lait", "cafe au lai\xC3\xA9"},
                                    {"\xE4\xB8\x80softwarexy", "softwearxy\xE4\xB8\x80"}};
    for (const auto& pair : pairs) {
      const double ns = best_per_call(5, 100000, [&] {
        sink = jaro_winkler(pair[0], pair[1], {}, {}, false, {}).value();
      });
      std::printf("jaro_winkler, %s / %s: %.0f ns\n", pair[0].c_str(), pair[1].c_str(), ns);
    }
  }
  if (run("batch-words")) batch_words(rng);
  if (run("batch-texts")) batch_texts(similar_pairs, random_pairs[0].first);
}
