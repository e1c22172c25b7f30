// MatchError and its text form. The text form is the exact message of the
// ValueError a Python user reads, so every character here is part of the
// interface.
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "quillmatch/quillmatch.h"

namespace quillmatch {

MatchError MatchError::input_too_long(const char* which, std::uint64_t len, std::uint64_t limit) {
  MatchError e;
  e.kind = Kind::InputTooLong;
  e.which = which;
  e.len = len;
  e.limit = limit;
  return e;
}

MatchError MatchError::invalid_prefix_scale(double value) {
  MatchError e;
  e.kind = Kind::InvalidPrefixScale;
  e.value = value;
  return e;
}

std::string MatchError::text() const {
  if (kind == Kind::InputTooLong) {
    return std::string("InputTooLong { which: \"") + which + "\", len: " + std::to_string(len) +
           ", limit: " + std::to_string(limit) + " }";
  }
  return "InvalidPrefixScale { value: " + float_text(value) + " }";
}

// std::to_chars in scientific form gives the shortest digits that read back as
// the same double (the nearest of several when there is a choice), as
// "d[.ddd]e±XX". We keep those digits and lay them out ourselves: positional for
// 1e-4 <= |v| < 1e16 with at least one fractional digit, scientific otherwise
// with a bare exponent ("1e16", "2.5e-5").
std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  std::string out;
  if (std::signbit(value)) out += '-';
  const double mag = std::fabs(value);
  if (std::isinf(mag)) return out.append("inf");
  if (mag == 0.0) return out.append("0.0");

  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string digits(sci.substr(0, 1));
  if (e_pos > 1) digits.append(sci.substr(2, e_pos - 2));  // skip the '.'
  int exp10 = 0;
  // to_chars always writes the exponent's sign: "e+05", "e-05".
  std::from_chars(sci.data() + e_pos + 2, sci.data() + sci.size(), exp10);
  if (sci[e_pos + 1] == '-') exp10 = -exp10;

  if (mag >= 1e-4 && mag < 1e16) {
    // The value is d.ddd x 10^exp10: `point` digits stand before the point.
    const int point = exp10 + 1;
    if (point <= 0) {
      out.append("0.").append(static_cast<std::size_t>(-point), '0').append(digits);
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out.append(digits).append(static_cast<std::size_t>(point) - digits.size(), '0').append(".0");
    } else {
      const auto p = static_cast<std::size_t>(point);
      out.append(digits, 0, p).append(".").append(digits, p);
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) out.append(".").append(digits, 1);
  return out.append("e").append(std::to_string(exp10));
}

}  // namespace quillmatch
