// The one way a reply leaves the service.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"

namespace orvanta {

// Encodes {"ok":..,"message":..,"pid":..} and its line feed and writes all of it to the connection.
[[nodiscard]] Result<void> send_response(SOCKET connection, bool ok, std::string message,
                                         std::optional<std::uint32_t> pid);

}  // namespace orvanta
