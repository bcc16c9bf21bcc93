// Scanning number literals, and writing those the JSON reader would refuse in a form it accepts.
#include "protocol/number_literal.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "protocol/value.hpp"

namespace orvanta::protocol {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The reader refuses a literal once its integer part reaches about 308 digits, or once a positive
// exponent exceeds 308; below these it never does.
constexpr std::size_t integer_digits_the_reader_may_refuse = 300;
constexpr std::uint64_t exponent_the_reader_may_refuse = 309;

struct Shape {
  NumberScan scan;
  std::size_t integer_digits = 0;
  std::uint64_t positive_exponent = 0;  // saturates; 0 when there is none or it is negative
};

Shape read_shape(std::string_view text, std::size_t start) {
  Shape shape;
  std::size_t i = start;
  const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
  const auto fail = [&](rapidjson::ParseErrorCode code) {
    shape.scan.fault = code;
    shape.scan.fault_at = i;
    shape.scan.end = i;
    return shape;
  };
  if (at(i) == '-') {
    ++i;
  }
  if (at(i) == '0') {
    ++i;
    shape.integer_digits = 1;
  } else if (is_digit(at(i))) {
    for (; is_digit(at(i)); ++i) {
      ++shape.integer_digits;
    }
  } else {
    return fail(rapidjson::kParseErrorValueInvalid);
  }
  if (at(i) == '.') {
    ++i;
    if (!is_digit(at(i))) {
      return fail(rapidjson::kParseErrorNumberMissFraction);
    }
    while (is_digit(at(i))) {
      ++i;
    }
  }
  if (at(i) == 'e' || at(i) == 'E') {
    ++i;
    bool negative = false;
    if (at(i) == '+' || at(i) == '-') {
      negative = at(i) == '-';
      ++i;
    }
    if (!is_digit(at(i))) {
      return fail(rapidjson::kParseErrorNumberMissExponent);
    }
    std::uint64_t exponent = 0;
    for (; is_digit(at(i)); ++i) {
      if (exponent < exponent_the_reader_may_refuse) {
        exponent = exponent * 10 + static_cast<std::uint64_t>(at(i) - '0');
      }
    }
    shape.positive_exponent = negative ? 0 : exponent;
  }
  shape.scan.end = i;
  return shape;
}

bool the_reader_may_refuse(const Shape& shape) {
  return shape.integer_digits >= integer_digits_the_reader_may_refuse ||
         shape.positive_exponent >= exponent_the_reader_may_refuse;
}

// Past the string that opens at `quote`: its closing quote, or the end of the text.
std::size_t past_string(std::string_view text, std::size_t quote) {
  for (std::size_t i = quote + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return text.size();
}

}  // namespace

NumberScan scan_number(std::string_view text, std::size_t start) { return read_shape(text, start).scan; }

// Outside strings a '-' or a digit can only begin a number; up to the first syntax fault this walk
// sees the tokens exactly as the reader will, and what it rewrites after a fault is never reached.
std::optional<std::string> with_large_literals_as_zeros(std::string_view text) {
  std::optional<std::string> copy;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      i = past_string(text, i);
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    const Shape shape = read_shape(text, i);
    const std::size_t length = shape.scan.end - i;
    if (!shape.scan.fault && the_reader_may_refuse(shape) && number_value(text.substr(i, length))) {
      if (!copy) {
        copy.emplace(text);
      }
      // Zero in exponent form, keeping the sign: like the literal it replaces, it ends with the digits
      // of an exponent, so it takes in nothing of what follows ("1e400e5" reads as far as "0e000").
      const std::size_t sign = c == '-' ? 1 : 0;
      const auto literal = copy->begin() + static_cast<std::ptrdiff_t>(i + sign);
      literal[0] = '0';
      literal[1] = 'e';
      std::fill(literal + 2, literal + static_cast<std::ptrdiff_t>(length - sign), '0');
    }
    i = shape.scan.end > i ? shape.scan.end : i + 1;
  }
  return copy;
}

}  // namespace orvanta::protocol
