// Number literals: which kind they are, and the text a double is shown by.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "protocol/value.hpp"

namespace orvanta::protocol {
namespace {

// The power of ten of the literal's first non-zero digit: "0.005" -> -3, "12e3" -> 4. Used only to
// tell an underflow from an overflow, so a huge exponent may saturate.
std::int64_t leading_digit_exponent(std::string_view literal) {
  constexpr std::int64_t saturation = std::int64_t{1} << 40;
  std::int64_t digits_before_point = 0;
  std::int64_t first_nonzero = -1;  // index among all mantissa digits
  std::int64_t digit_index = 0;
  bool after_point = false;
  std::size_t i = literal.starts_with('-') ? 1 : 0;
  for (; i < literal.size() && literal[i] != 'e' && literal[i] != 'E'; ++i) {
    if (literal[i] == '.') {
      after_point = true;
      continue;
    }
    if (first_nonzero < 0 && literal[i] != '0') {
      first_nonzero = digit_index;
    }
    if (!after_point) {
      ++digits_before_point;
    }
    ++digit_index;
  }
  std::int64_t exponent = 0;
  bool negative = false;
  if (i < literal.size()) {
    ++i;
    if (i < literal.size() && (literal[i] == '+' || literal[i] == '-')) {
      negative = literal[i] == '-';
      ++i;
    }
    for (; i < literal.size() && exponent < saturation; ++i) {
      exponent = exponent * 10 + (literal[i] - '0');
    }
  }
  return digits_before_point - 1 - first_nonzero + (negative ? -exponent : exponent);
}

Value floating(double value) { return {ValueKind::FloatingPoint, render_double(value)}; }

}  // namespace

// Kinds:
//   1. no fraction and no exponent, fits std::uint64_t: unsigned integer   "18446744073709551615"
//   2. no fraction and no exponent, negative, fits std::int64_t: signed    "-9223372036854775808"
//   3. everything else is a double; "-0" too, so that the sign survives    "-0" -> -0.0, "1e2" -> 100.0
//   4. a double that underflows is zero with its sign; one that overflows has no value.
std::optional<Value> number_value(std::string_view literal) {
  const char* first = literal.data();
  const char* last = first + literal.size();
  if (literal.find_first_of(".eE") == std::string_view::npos && literal != "-0") {
    std::errc ec{};
    if (literal.starts_with('-')) {
      std::int64_t value = 0;
      ec = std::from_chars(first, last, value).ec;
    } else {
      std::uint64_t value = 0;
      ec = std::from_chars(first, last, value).ec;
    }
    if (ec == std::errc{}) {
      // The reader accepts no leading zeros or plus sign, so the literal is already the decimal form.
      return Value{literal.starts_with('-') ? ValueKind::SignedInteger : ValueKind::UnsignedInteger,
                   std::string(literal)};
    }
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) {
    if (leading_digit_exponent(literal) >= 0) {
      return std::nullopt;
    }
    return floating(literal.starts_with('-') ? -0.0 : 0.0);
  }
  if (ec != std::errc{} || end != last) {
    return std::nullopt;  // not reached for literals the reader accepted
  }
  return floating(value);
}

// Forms:
//   1. zero is 0.0 or -0.0
//   2. 1e-5 <= |x| < 1e16: plain notation with at least one fractional digit: 2.0, 0.00001, 1234.5
//   3. otherwise scientific, the exponent always signed and never padded: 1e+16, 1.5e-7, 5e-324
// The digits are always the shortest that read back as the same double.
std::string render_double(double value) {
  if (value == 0) {
    return std::signbit(value) ? "-0.0" : "0.0";
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));

  // scientific is "[-]d[.ddd]e(+|-)xx"; only finite values are ever read, but stay safe for the others.
  const std::size_t e = scientific.find('e');
  if (e == std::string_view::npos) {
    return std::string(scientific);
  }
  const bool negative = scientific.front() == '-';
  std::string digits;
  for (char c : scientific.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') {
      digits += c;
    }
  }
  int exponent = 0;
  const std::string_view exponent_text = scientific.substr(e + 1);
  std::from_chars(exponent_text.data() + 1, exponent_text.data() + exponent_text.size(), exponent);
  if (exponent_text.front() == '-') {
    exponent = -exponent;
  }

  std::string out = negative ? "-" : "";
  if (exponent >= -5 && exponent < 16) {
    if (exponent >= 0) {
      const auto whole = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= whole) {
        out += digits;
        out.append(whole - digits.size(), '0');
        out += ".0";
      } else {
        out += digits.substr(0, whole);
        out += '.';
        out += digits.substr(whole);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += exponent < 0 ? "e-" : "e+";
  out += std::to_string(exponent < 0 ? -exponent : exponent);
  return out;
}

}  // namespace orvanta::protocol
