// The float text of InvalidPrefixScale. For any double: the digits printed read
// back (strtod) as the same double; they are the shortest that do, the nearest
// of those, laid out positionally from 1e-4 up to below 1e16 and scientifically
// outside; MatchError::text embeds exactly float_text; and the prefix-scale
// check accepts exactly [0, 0.25] and reports the value it was given.
#include <cstdio>
#include <cstdlib>

#include "fuzz_harness.h"
#include "text/text.h"

namespace quillmatch::fuzz {
namespace {

// Doubles where the layout changes (1e-4, 1e16), the scale bounds, and powers of
// ten, each moved a few ulps; decimal-looking values; or any bit pattern.
double pick_double(FuzzInput& in) {
  static constexpr double kAnchors[] = {1e-4, 1e16, 0.25, 0.1, 0.0, 1.0, 1e-5, 1e15, 1e22,
                                        5e-324, 2.2250738585072014e-308, 1.7976931348623157e308};
  double v;
  switch (in.below(4)) {
    case 0: {
      v = in.pick(kAnchors);
      for (std::uint64_t steps = in.below(4); steps > 0; --steps)
        v = std::nextafter(v, in.flag() ? 0.0 : std::numeric_limits<double>::infinity());
      break;
    }
    case 1:
      v = static_cast<double>(in.below(100000)) *
          std::pow(10.0, static_cast<double>(in.below(60)) - 30.0);
      break;
    default: {
      const std::uint64_t bits = in.u64();
      std::memcpy(&v, &bits, sizeof v);
      break;
    }
  }
  return in.below(3) == 0 ? -v : v;
}

// Significant digits and the decimal exponent of d.ddd x 10^exponent.
struct Decimal {
  std::string digits;
  int exponent = 0;
  std::string scientific() const {
    return digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(exponent);
  }
  double read_back() const { return std::strtod(scientific().c_str(), nullptr); }
};

// The k-digit decimal one unit of the last digit above or below `d`.
Decimal neighbour(const Decimal& d, int direction) {
  const std::size_t k = d.digits.size();
  Decimal out{std::to_string(std::stoull(d.digits) + static_cast<unsigned long long>(direction)),
              d.exponent};
  if (out.digits.size() > k) {  // 99..9 + 1
    out.digits.pop_back();
    ++out.exponent;
  } else if (out.digits.size() < k || out.digits == "0") {  // 10..0 - 1
    out.digits = std::string(k, '9');
    --out.exponent;
  }
  return out;
}

// The expected text. The digits are the fewest that read back as the value,
// the nearest such: printf's correctly rounded k digits, or, when the value is
// a power of two whose lower gap is half its upper one, the neighbour above or
// below that still reads back (then the nearest of them).
std::string expected_text(double v) {
  if (std::isnan(v)) return "NaN";
  const std::string sign = std::signbit(v) ? "-" : "";
  const double mag = std::fabs(v);
  if (std::isinf(mag)) return sign + "inf";
  if (mag == 0.0) return sign + "0.0";
  Decimal best;  // found by 17 digits at the latest, which always read back
  for (int precision = 0; precision < 17 && best.digits.empty(); ++precision) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", precision, mag);  // d[.ddd]e±XX
    const std::string sci = buf;
    const std::size_t e = sci.find('e');
    const Decimal nearest{sci.substr(0, 1) + (e > 1 ? sci.substr(2, e - 2) : ""),
                          std::atoi(sci.c_str() + e + 1)};
    if (nearest.read_back() == mag) {
      best = nearest;
      break;
    }
    long double best_gap = 0;
    for (int direction : {-1, 1}) {
      const Decimal d = neighbour(nearest, direction);
      const long double gap = std::fabs(std::strtold(d.scientific().c_str(), nullptr) - mag);
      if (d.read_back() == mag && (best.digits.empty() || gap < best_gap)) {
        best = d;
        best_gap = gap;
      }
    }
  }
  std::string digits = best.digits;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int exponent = best.exponent;
  if (mag >= 1e-4 && mag < 1e16) {
    if (exponent < 0)
      return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    const auto whole = static_cast<std::size_t>(exponent + 1);
    if (whole >= digits.size())
      return sign + digits + std::string(whole - digits.size(), '0') + ".0";
    return sign + digits.substr(0, whole) + "." + digits.substr(whole);
  }
  return sign + digits.substr(0, 1) + (digits.size() > 1 ? "." + digits.substr(1) : "") + "e" +
         std::to_string(exponent);
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  const double v = pick_double(in);
  const std::string text = float_text(v);
  const auto context = [&] { return "float_text(" + show(v) + ") = \"" + text + "\""; };

  if (!std::isnan(v)) {
    const double back = std::strtod(text.c_str(), nullptr);
    QM_FUZZ_CHECK(same_bits(back, v), context() + " reads back as " + show(back));
  }
  const std::string want = expected_text(v);
  QM_FUZZ_CHECK(text == want, context() + ", expected \"" + want + "\"");
  const std::string error_text = MatchError::invalid_prefix_scale(v).text();
  QM_FUZZ_CHECK(error_text == "InvalidPrefixScale { value: " + text + " }",
                context() + "; text(): " + error_text);

  const Result<double> checked = check_prefix_scale(v);
  const Result<double> want_checked =
      valid_scale(v) ? Result<double>(v) : Result<double>(MatchError::invalid_prefix_scale(v));
  QM_FUZZ_CHECK_RESULT(checked, want_checked, "check_prefix_scale(" + show(v) + ")");
}

}  // namespace quillmatch::fuzz
