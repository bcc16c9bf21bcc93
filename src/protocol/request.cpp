// Reading a request text: the two phases, then the test for bytes after the value.
#include "protocol/request.hpp"

#include "protocol/document.hpp"
#include "protocol/error_position.hpp"
#include "protocol/fields.hpp"
#include "protocol/json_text.hpp"

namespace orvanta {

// 1. First phase (read_document): the whole top-level value, syntax faults and the "cmd" rules as
//    met from left to right; errors point into the text.
// 2. Second phase (read_fields): the retained members for the named command; errors have no position.
// 3. Only then: anything but white space after the value is "trailing characters".
//    {"cmd":"status"} x  -> trailing characters at line 1 column 18
//    {"cmd":"connect"} x -> missing field `openvpn`
std::expected<ClientRequest, RequestError> read_client_request(std::string_view text) {
  auto document = protocol::read_document(text);
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  auto command = protocol::read_fields(document->tag, document->body);
  if (!command) {
    return std::unexpected(std::move(command.error()));
  }
  std::size_t rest = document->end;
  while (rest < text.size() && protocol::is_json_white_space(text[rest])) {
    ++rest;
  }
  if (rest < text.size()) {
    return std::unexpected(protocol::error_at("trailing characters", text, rest + 1));
  }
  const bool array_form = std::holds_alternative<protocol::SequenceBody>(document->body);
  return ClientRequest{std::move(*command), array_form, std::move(document->token)};
}

std::expected<HelperRequest, RequestError> parse_request(std::string_view text) {
  auto request = read_client_request(text);
  if (!request) {
    return std::unexpected(std::move(request.error()));
  }
  return std::move(request->command);
}

}  // namespace orvanta
