// The reply document and its exact bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvanta {

struct HelperResponse {
  bool ok = false;
  std::string message;
  std::optional<std::uint32_t> pid;
  friend bool operator==(const HelperResponse&, const HelperResponse&) = default;
};

// {"ok":true,"message":"stopped","pid":null} followed by one line feed.
[[nodiscard]] std::string encode_response(const HelperResponse& response);

}  // namespace orvanta
