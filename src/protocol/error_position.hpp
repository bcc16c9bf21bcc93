// Making request errors: with the line and column of a point in the text, or without a position.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "protocol/request.hpp"

namespace orvanta::protocol {

// point is a byte offset into text, 0..text.size(): the place just after the byte at fault.
[[nodiscard]] RequestError error_at(std::string description, std::string_view text, std::size_t point);

[[nodiscard]] inline RequestError error_without_position(std::string description) {
  return RequestError{std::move(description), 0, 0};
}

}  // namespace orvanta::protocol
