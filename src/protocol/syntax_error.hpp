// Syntax faults: the words for each of the JSON reader's error codes, and where they point.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <rapidjson/error/error.h>

#include "protocol/request.hpp"

namespace orvanta::protocol {

// The error for a fault the reader found while looking at the byte at offset `offending` (text.size()
// when it met the end of the text first).
[[nodiscard]] RequestError syntax_error(std::string_view text, rapidjson::ParseErrorCode code,
                                        std::size_t offending);

// Whether a decoded string holds an encoded UTF-16 surrogate. The reader checks raw bytes but turns a
// lone \uDC00..\uDFFF escape into one, so this is how such an escape shows.
[[nodiscard]] bool holds_surrogate(std::string_view decoded);

// The error for the first lone trailing-surrogate escape of the string being read when the reader
// stood at `limit` (its closing quote, or the byte where it stopped).
[[nodiscard]] std::optional<RequestError> lone_trailing_surrogate(std::string_view text, std::size_t limit);

}  // namespace orvanta::protocol
