// Arbitrary bytes into parse_request: every result must be a request or an error with a text, and
// either must survive being put into a reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/request.hpp"
#include "protocol/response.hpp"

namespace {

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// A reply must be one line: control bytes in the message are escaped, the only line feed ends it.
void require_one_line_reply(const std::string& message) {
  const std::string reply = orvanta::encode_response({false, message, std::nullopt});
  require(reply.size() >= 2 && reply.ends_with("}\n"));
  for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
    require(static_cast<unsigned char>(reply[i]) >= 0x20);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto result = orvanta::parse_request(text);
  if (!result) {
    const orvanta::RequestError& error = result.error();
    require(!error.description.empty());
    // A point lies within the text: at most one line per byte, and a column no wider than the text.
    require(error.line <= size + 1 && error.column <= size);
    require_one_line_reply("Invalid request JSON: " + error.text());
    return 0;
  }
  require(!result->valueless_by_exception());
  // White space after a request that was read changes nothing.
  const auto padded = orvanta::parse_request(std::string(text) + " \t\r\n");
  require(padded.has_value() && *padded == *result);
  return 0;
}
