// levenshtein_bp and damerau_bp against the textbook dynamic programme, results
// and InputTooLong alike, with and without folding, max_len and cutoff; then
// every scan variant that can take the working pair, run on its own: the ASCII
// single word, the code-point single word, and the block scan (which also runs
// patterns of 64 code points and fewer, as a one-word block), sized at run time
// and, for 2 to 4 words, at compile time.
#include "kernels/bit_parallel.h"
#include "fuzz_harness.h"

namespace quillmatch::fuzz {
namespace {

using Kernel = Result<std::uint64_t> (*)(TextView, TextView, std::optional<std::uint64_t>, bool,
                                         std::optional<std::uint64_t>);

template <class Word, template <std::size_t> class Block>
void check_variants(const std::u32string& a, const std::u32string& b, std::uint64_t want,
                    const char* name) {
  if (a.empty()) return;  // the scans need a pattern; the kernel settles m = 0 itself
  const std::string a8 = testing::to_utf8(a), b8 = testing::to_utf8(b);
  const std::vector<char32_t> pattern(a.begin(), a.end());
  const std::uint64_t m = a.size();
  const auto context = [&] {
    return std::string(name) + "\n  a = " + show(a) + "\n  b = " + show(b);
  };
  if (m <= 64) {
    const std::uint64_t top = std::uint64_t{1} << (m - 1);
    if (is_ascii(a8) && is_ascii(b8)) {
      Word scan(m, top);
      const AsciiPairMasks masks(a8, b8);
      for (unsigned char c : b8) scan.step(masks.get(c));
      QM_FUZZ_CHECK(scan.score == want, "ASCII word scan " + show(scan.score) + "\n" + context());
    }
    Word scan(m, top);
    const WordMasks masks = WordMasks::from_code_points(pattern);
    for (char32_t cp : b) scan.step(masks.get(cp));
    QM_FUZZ_CHECK(scan.score == want,
                  "code-point word scan " + show(scan.score) + "\n" + context());
  }
  const BlockMasks masks(pattern);
  auto check_block = [&]<class Scan>(Scan&& scan, const char* what) {
    for (char32_t cp : b) scan.step(masks.row(cp));
    QM_FUZZ_CHECK(scan.score == want, what + (" " + show(scan.score)) + "\n" + context());
  };
  check_block(Block<kAnyWords>(m), "block scan");
  if (masks.words() == 2) check_block(Block<2>(m), "two-word block scan");
  if (masks.words() == 3) check_block(Block<3>(m), "three-word block scan");
  if (masks.words() == 4) check_block(Block<4>(m), "four-word block scan");
}

template <class Word, template <std::size_t> class Block>
void check_measure(FuzzInput& in, const char* name, Kernel kernel, bool transpositions,
                   const std::u32string& s1, const std::u32string& s2, TextView v1, TextView v2,
                   bool fold) {
  const std::u32string a = maybe_folded(s1, fold), b = maybe_folded(s2, fold);
  const std::uint64_t d = testing::edit_distance_dp(a, b, transpositions);
  check_variants<Word, Block>(a, b, d, name);

  const std::optional<std::uint64_t> max_len = pick_max_len(in, a.size(), b.size());
  const std::optional<std::uint64_t> cutoff = pick_distance_cutoff(in, d);
  const std::optional<MatchError> error = length_error(a.size(), b.size(), max_len);
  const Result<std::uint64_t> want =
      error ? Result<std::uint64_t>(*error)
            : Result<std::uint64_t>(cutoff && d > *cutoff ? *cutoff + 1 : d);
  QM_FUZZ_CHECK_RESULT(kernel(v1, v2, max_len, fold, cutoff), want,
                       std::string(name) + "\n  str_1 = " + show(s1) + "\n  str_2 = " + show(s2) +
                           "\n  case_insensitive = " + (fold ? "true" : "false") +
                           "\n  max_len = " + show(max_len) + "\n  score_cutoff = " + show(cutoff));
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  const bool fold = in.flag();
  const std::u32string s1 = random_text(in, 130, false);
  const std::u32string s2 = in.flag() ? near_copy(in, s1) : random_text(in, 130, false);
  ExactTexts texts;
  const TextView v1 = texts.add(s1), v2 = texts.add(s2);
  check_measure<LevenshteinWord, LevenshteinBlock>(in, "levenshtein_bp", levenshtein_bp, false, s1,
                                                   s2, v1, v2, fold);
  check_measure<OsaWord, OsaBlock>(in, "damerau_bp", damerau_bp, true, s1, s2, v1, v2, fold);
}

}  // namespace quillmatch::fuzz
