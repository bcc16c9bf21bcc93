// From the bytes a client sent to the reply it gets: read, trim, parse, carry out.
#pragma once

#include <cstddef>

#include "protocol/request.hpp"
#include "protocol/response.hpp"
#include "server/request_line.hpp"

namespace orvanta {

// The three operations a request can ask for. The worker only chooses among them; what they do to
// the helper state, and under which lock, is theirs.
class Operations {
 public:
  virtual ~Operations() = default;
  virtual HelperResponse connect(const Connect& request) = 0;
  virtual HelperResponse disconnect() = 0;
  virtual HelperResponse status() = 0;
};

[[nodiscard]] HelperResponse dispatch_request(const HelperRequest& request, Operations& operations);

// Reads the request line, trims it, parses it and carries it out; every failure on the way becomes
// the reply ("Failed to read request: ...", "Invalid request JSON: ..."), so there always is one.
[[nodiscard]] HelperResponse answer_request(const Receive& receive, Operations& operations,
                                            std::size_t max_line_bytes);

}  // namespace orvanta
