// The one way a reply leaves the service.
#pragma once

#include <winsock2.h>

#include "common/error.hpp"
#include "protocol/response.hpp"

namespace orvanta {

// Encodes the reply and its line feed and writes all of it to the connection.
[[nodiscard]] Result<void> send_response(SOCKET connection, const HelperResponse& response);

}  // namespace orvanta
