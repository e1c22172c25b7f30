// fold_case against a walk of the generated tables over the decoded text
// (testing::lowercase_walk), which decides final sigma on the code-point array
// and reads ASCII from the tables too, so it shares neither the byte-level
// context scan nor the 32-byte ASCII runs with the library.
#include "fuzz_harness.h"
#include "text/text.h"

namespace quillmatch::fuzz {
namespace {

// Segments that stress each part of the fold: ASCII runs around the 32-byte
// block size, sigmas wrapped in Case_Ignorable and cased neighbours, and single
// code points from anywhere in the code space.
std::u32string fold_input(FuzzInput& in) {
  static constexpr std::size_t kRuns[] = {1, 31, 32, 33, 64, 65};
  static constexpr char32_t kAroundSigma[] = {0x03A3, 0x03A3, '\'', 0x00AD, 0x0307, '.',
                                              'a',    'Z',    ' ',  0x0391, 0x03C3, 0x10400};
  std::u32string text;
  for (std::uint64_t segments = 1 + in.below(6); segments > 0; --segments) {
    switch (in.below(4)) {
      case 0: text += random_text(in, in.pick(kRuns), Alphabet::kAscii); break;
      case 1: text += random_text(in, 1 + in.below(8), Alphabet::kBiased); break;
      case 2:
        for (std::uint64_t n = 1 + in.below(8); n > 0; --n) text += in.pick(kAroundSigma);
        break;
      default: text += random_text(in, 1 + in.below(8), Alphabet::kAnyScalar); break;
    }
  }
  return text;
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  const std::u32string text = fold_input(in);
  ExactTexts texts;
  const std::string got = fold_case(texts.add(text).view());
  const std::u32string want = testing::lowercase_walk(text);
  QM_FUZZ_CHECK(got == testing::to_utf8(want),
                "fold_case\n  text     = " + show(text) + "\n  got      = " +
                    show(testing::to_u32(got)) + "\n  expected = " + show(want));
}

}  // namespace quillmatch::fuzz
