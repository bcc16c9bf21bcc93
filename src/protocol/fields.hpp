// The second reading phase: the retained members interpreted for the named command.
#pragma once

#include <expected>

#include "protocol/document.hpp"
#include "protocol/request.hpp"

namespace orvanta::protocol {

// Errors of this phase carry no position.
[[nodiscard]] std::expected<HelperRequest, RequestError> read_fields(Tag tag, const Body& body);

}  // namespace orvanta::protocol
