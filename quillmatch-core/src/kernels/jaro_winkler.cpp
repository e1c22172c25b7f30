// The Jaro-Winkler similarity of two texts.
//
// Two strategies produce the same counts (m, t, l); which one runs depends only
// on the prepared pair:
//   word-parallel    both ASCII, both <= 64: position table of str_2 and a
//                    sliding window word;
//   block            anything else: position rows of the shorter text over
//                    blocks of words, the other text scanned (jw::count_blocks).
// Both end in jw::score, so the float arithmetic is shared, not repeated.
#include "kernels/jaro_winkler.h"

#include <string_view>
#include <vector>

#include "quillmatch/quillmatch.h"
#include "kernels/pattern_masks.h"
#include "text/text.h"

namespace quillmatch {

namespace {

// REQUIRES: both texts ASCII and at most 64 bytes. The position table is
// written only where the match reads it (the bytes of either text), so a short
// pair costs no 1 KiB clear.
jw::Counts count_ascii_words(std::string_view s1, std::string_view s2) {
  const AsciiPairMasks positions(s2, s1);
  const std::uint64_t r = jw::match_radius(s1.size(), s2.size());
  const unsigned char* a = jw::bytes(s1);
  const jw::MatchedWords matched =
      jw::match_words(positions.table(), a, s1.size(), r, jw::Verbatim{});
  return jw::count_words(a, s1.size(), jw::bytes(s2), s2.size(), matched, jw::Verbatim{});
}

template <class Searched>
jw::Counts count_against(const Searched& searched, std::string_view scanned, bool ascii) {
  jw::BlockScratch scratch;
  if (ascii)
    return jw::count_blocks(searched, jw::bytes(scanned), scanned.size(), jw::Verbatim{}, scratch);
  const std::vector<char32_t> cps = decode_utf8(scanned);
  return jw::count_blocks(searched, cps.data(), cps.size(), jw::Verbatim{}, scratch);
}

// Any pair. The shorter text is the searched one, so the window never spans
// more words than it has; an ASCII scanned text is read as bytes.
jw::Counts count_blocks(const PreparedPair& pair) {
  const bool swap = pair.len1 < pair.len2;
  const std::string_view scanned = swap ? pair.text2() : pair.text1();
  std::vector<char32_t> searched = decode_utf8(swap ? pair.text1() : pair.text2());
  if (searched.size() <= jw::kWordBits)
    return count_against(jw::SearchedWord(std::move(searched)), scanned, pair.ascii);
  return count_against(jw::SearchedBlocks(std::move(searched)), scanned, pair.ascii);
}

}  // namespace

Result<double> jaro_winkler(TextView str_1, TextView str_2, std::optional<double> p,
                            std::optional<std::uint64_t> max_len, bool case_insensitive,
                            std::optional<double> score_cutoff) {
  const Result<double> scale = check_prefix_scale(p);
  if (!scale.ok()) return scale.error();
  PreparedPair pair;
  if (auto error = prepare_inputs(str_1, str_2, max_len, case_insensitive, pair)) return *error;

  // Empty texts are settled before the cutoff and never subject to it.
  if (pair.len1 == 0 || pair.len2 == 0) return pair.len1 == pair.len2 ? 1.0 : 0.0;

  const std::uint64_t longer = std::max(pair.len1, pair.len2);
  jw::Counts counts;
  if (pair.ascii && longer <= jw::kWordBits) {
    counts = count_ascii_words(pair.text1(), pair.text2());
  } else {
    counts = count_blocks(pair);
  }
  const double similarity =
      counts.m == 0          ? 0.0
      : longer <= jw::kWordBits
          ? jw::score_words(counts.m, counts.t, pair.len1, pair.len2, counts.l, scale.value())
          : jw::score(counts.m, counts.t, pair.len1, pair.len2, counts.l, scale.value());

  // Written so that a NaN cutoff compares false and never applies.
  if (score_cutoff && *score_cutoff > similarity) return 0.0;
  return similarity;
}

}  // namespace quillmatch
