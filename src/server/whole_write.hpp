// Writing a whole buffer over any sink of bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "common/error.hpp"

namespace orvanta {

// One send of (a prefix of) the bytes: the number of bytes written, or the send's error.
using Send = std::function<Result<std::size_t>(std::string_view bytes)>;

// Sends the remainder until every byte is written. An interrupted send is repeated; a send that
// writes nothing ends with "failed to write whole buffer"; any other failure ends with its error.
[[nodiscard]] Result<void> write_whole_buffer(const Send& send, std::string_view bytes);

}  // namespace orvanta
