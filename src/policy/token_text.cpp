// Writing and comparing client tokens.
#include "policy/token_text.hpp"

namespace orvanta::policy {

std::string token_text(const std::array<std::uint8_t, token_bytes>& bytes) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += hex[byte >> 4];
    text += hex[byte & 0x0F];
  }
  return text;
}

bool same_token(std::string_view given, std::string_view expected) {
  if (given.size() != expected.size()) {
    return false;
  }
  unsigned difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |=
        static_cast<unsigned>(static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(expected[i]));
  }
  return difference == 0;
}

}  // namespace orvanta::policy
