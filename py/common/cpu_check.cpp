#include "common/cpu_check.h"

#include <array>
#include <string>

namespace quillmatch::py {

#if defined(QUILLMATCH_SIMD_AVX2)

namespace {

struct Feature {
  const char* name;
  bool present;
};

}  // namespace

bool check_cpu_features() {
  // Fills the compiler runtime's processor model. Idempotent; called so that
  // the answer never depends on whether that runtime's own constructor has run.
  // Its AVX2 bit is set only when the operating system saves the AVX registers.
  __builtin_cpu_init();
  // __builtin_cpu_supports takes only string literals, hence no loop over names.
  const std::array<Feature, 4> needed{{
      {"AVX2", __builtin_cpu_supports("avx2") != 0},
      {"BMI1", __builtin_cpu_supports("bmi") != 0},
      {"BMI2", __builtin_cpu_supports("bmi2") != 0},
      {"POPCNT", __builtin_cpu_supports("popcnt") != 0},
  }};
  std::array<const char*, 4> missing{};
  std::size_t count = 0;
  for (const Feature& f : needed)
    if (!f.present) missing[count++] = f.name;
  if (count == 0) return true;
  // The missing names joined as "A", "A and B" or "A, B and C".
  std::string message = "quillmatch needs a processor with AVX2, BMI1, BMI2 and POPCNT; this one lacks ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i) message += i + 1 == count ? " and " : ", ";
    message += missing[i];
  }
  PyErr_SetString(PyExc_ImportError, message.c_str());
  return false;
}

#else

// The NEON and portable back ends use nothing beyond what every processor of
// their architecture has.
bool check_cpu_features() { return true; }

#endif

}  // namespace quillmatch::py
