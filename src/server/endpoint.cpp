// Text form of an endpoint.
#include "server/endpoint.hpp"

namespace orvanta {

std::string endpoint_text(const Endpoint& endpoint) {
  std::string text;
  for (const std::uint8_t part : endpoint.address) {
    if (!text.empty()) {
      text.push_back('.');
    }
    text += std::to_string(part);
  }
  return text + ":" + std::to_string(endpoint.port);
}

}  // namespace orvanta
