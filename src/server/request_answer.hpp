// From the bytes a client sent to the reply it gets: read, trim, parse, carry out.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "protocol/operations.hpp"
#include "protocol/request.hpp"
#include "protocol/request_turn.hpp"
#include "protocol/response.hpp"
#include "server/request_line.hpp"

namespace orvanta {

// The worker only chooses among the operations; what they do, and under which lock, is theirs.
[[nodiscard]] HelperResponse dispatch_request(const HelperRequest& request, Operations& operations);

// Reads the request line, trims it, parses it and carries it out unless the operations refuse it;
// every failure on the way becomes the reply ("Failed to read request: ...", "Invalid request JSON:
// ...", a refusal), so there always is one.
// Memory that runs out on the way ends this request alone: "Failed to read request: out of memory".
// Building that reply needs memory too; when even that fails, std::bad_alloc reaches the caller.
[[nodiscard]] HelperResponse answer_request(const Receive& receive, Operations& operations,
                                            std::size_t max_line_bytes, BudgetCharge* charge = nullptr);

// The same from a line that has been read already (a whole line or what came before the end of the
// stream): trims it, parses it and carries it out unless the operations refuse it from `caller` (see
// Operations::refusal). The line is released as soon as it is parsed.
[[nodiscard]] HelperResponse answer_line(std::string line, Operations& operations,
                                         const pipe::PipeCaller* caller = nullptr);

// Who is calling, as the transport vouches for it: nothing for one that knows no one (the port), an
// error when it should know and cannot tell. Asked only when the operations need to know
// (Operations::asks_who_is_calling).
using CallerQuery = std::function<Result<std::optional<pipe::PipeCaller>>()>;

// answer_line for the server's workers: the caller is asked only when the operations need it, and a
// connect or disconnect goes through the operations in the order of `turn`. Nothing when the reply
// goes to `turn.later` instead.
[[nodiscard]] std::optional<HelperResponse> answer_line_in_turn(std::string line, Operations& operations,
                                                                const CallerQuery& caller,
                                                                const RequestTurn& turn);

// The reply to a request whose caller the transport should have told and could not: it is refused,
// never carried out as if no one in particular had asked.
[[nodiscard]] HelperResponse unknown_caller(const Error& error);

}  // namespace orvanta
