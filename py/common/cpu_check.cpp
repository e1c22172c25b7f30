#include "common/cpu_check.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>

#include <array>
#include <cstdint>

namespace quillmatch::py {

namespace {

// CPUID leaf 1, ECX.
constexpr unsigned kPopcnt = 1u << 23;
constexpr unsigned kOsXsave = 1u << 27;  // XGETBV usable: the OS enabled XSAVE
constexpr unsigned kAvx = 1u << 28;
// CPUID leaf 7, sub-leaf 0, EBX.
constexpr unsigned kBmi1 = 1u << 3;
constexpr unsigned kAvx2 = 1u << 5;
constexpr unsigned kBmi2 = 1u << 8;
// XCR0: the OS saves the SSE (bit 1) and the upper AVX (bit 2) register state.
constexpr std::uint64_t kXmmYmmState = 0x6;

// XCR0, read by XGETBV; only valid to call when CPUID reports OSXSAVE. Written
// as the instruction itself, as the intrinsic would need -mxsave.
std::uint64_t xcr0() {
  std::uint32_t low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

struct Feature {
  const char* name;
  bool present;
};

}  // namespace

std::string missing_for_avx2() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  unsigned leaf1_ecx = 0, leaf7_ebx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) leaf1_ecx = ecx;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    leaf7_ebx = ebx;
  }
  const bool os_saves_avx = (leaf1_ecx & kOsXsave) && (leaf1_ecx & kAvx) &&
                            (xcr0() & kXmmYmmState) == kXmmYmmState;
  const std::array<Feature, 4> needed{{
      {"AVX2", os_saves_avx && (leaf7_ebx & kAvx2)},
      {"BMI1", (leaf7_ebx & kBmi1) != 0},
      {"BMI2", (leaf7_ebx & kBmi2) != 0},
      {"POPCNT", (leaf1_ecx & kPopcnt) != 0},
  }};
  std::array<const char*, 4> missing{};
  std::size_t count = 0;
  for (const Feature& f : needed)
    if (!f.present) missing[count++] = f.name;
  std::string names;
  for (std::size_t i = 0; i < count; ++i) {
    if (i) names += i + 1 == count ? " and " : ", ";
    names += missing[i];
  }
  return names;
}

}  // namespace quillmatch::py

#endif
