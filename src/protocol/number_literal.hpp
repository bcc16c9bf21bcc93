// Number literals as the JSON grammar reads them, apart from their value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/error/error.h>

namespace orvanta::protocol {

struct NumberScan {
  std::size_t end = 0;  // just after the literal's last byte
  // Where the grammar breaks inside the literal ("1.", "1e+", "-"): the JSON reader's code for that
  // fault and the offset of the byte at fault (the length of the text when it ended first).
  std::optional<rapidjson::ParseErrorCode> fault;
  std::size_t fault_at = 0;
};

// Reads the literal that starts at `start` (a '-' or a digit) as far as the grammar goes:
//   -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
[[nodiscard]] NumberScan scan_number(std::string_view text, std::size_t start);

// The JSON reader refuses some literals as too large although their value is in range: a zero
// significand with a large exponent (0e309), or hundreds of integer digits that a negative exponent
// brings back (1 followed by 400 zeros and e-390). This gives a copy of the text in which each such
// literal is written as a zero of the same length ("0e000"), so the reader goes on past it and every
// offset stays where it was; nothing when the text holds no such literal. Literals whose value
// overflows are left alone, for the reader to refuse.
[[nodiscard]] std::optional<std::string> with_large_literals_as_zeros(std::string_view text);

}  // namespace orvanta::protocol
