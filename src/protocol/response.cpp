// The reply bytes, written by hand: their form is fixed to the byte and no JSON writer gives it.
#include "protocol/response.hpp"

#include <charconv>

namespace orvanta {
namespace {

// Escapes: " and \ get a backslash; 0x08 0x09 0x0A 0x0C 0x0D have their short forms; every other
// byte below 0x20 is \u00xx in lower-case hex. Everything else, '/' and 0x7F included, stays.
void append_json_string(std::string& out, std::string_view text) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += hex_digits[byte >> 4];
          out += hex_digits[byte & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

std::string encode_response(const HelperResponse& response) {
  std::string out;
  out.reserve(128);
  out += "{\"ok\":";
  out += response.ok ? "true" : "false";
  out += ",\"message\":";
  append_json_string(out, response.message);
  out += ",\"pid\":";
  if (response.pid) {
    char digits[10];
    const auto end = std::to_chars(digits, digits + sizeof digits, *response.pid).ptr;
    out.append(digits, end);
  } else {
    out += "null";
  }
  out += "}\n";
  return out;
}

}  // namespace orvanta
