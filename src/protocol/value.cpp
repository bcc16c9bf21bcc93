// How a value's kind is named in an error text, and how a string is shown there.
#include "protocol/value.hpp"

#include <cstdio>

namespace orvanta::protocol {

std::string describe_kind(const Value& value) {
  switch (value.kind) {
    case ValueKind::Null:
      return "null";
    case ValueKind::Boolean:
      return "boolean `" + value.text + "`";
    case ValueKind::UnsignedInteger:
    case ValueKind::SignedInteger:
      return "integer `" + value.text + "`";
    case ValueKind::FloatingPoint:
      return "floating point `" + value.text + "`";
    case ValueKind::String:
      return "string " + quote_string(value.text);
    case ValueKind::Sequence:
      return "sequence";
    case ValueKind::Map:
      return "map";
  }
  return {};
}

// Escapes:
//   1. backslash and double quote get a backslash: a"b -> "a\"b"
//   2. tab, line feed, carriage return and U+0000 have short forms: \t \n \r \0
//   3. every other control character, C0, DEL and C1, is written \u{hex}: ESC -> \u{1b}, U+0085 -> \u{85}
//   4. everything else, other non-ASCII characters included, stays as it is.
std::string quote_string(std::string_view content) {
  std::string out;
  out.reserve(content.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < content.size(); ++i) {
    const auto byte = static_cast<unsigned char>(content[i]);
    unsigned control = 0x100;  // none
    if (byte < 0x20 || byte == 0x7F) {
      control = byte;
    } else if (byte == 0xC2 && i + 1 < content.size()) {
      // C1 controls U+0080..U+009F are encoded C2 80..C2 9F.
      const auto next = static_cast<unsigned char>(content[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        control = next;
        ++i;
      }
    }
    switch (control) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0:
        out += "\\0";
        break;
      case 0x100:
        if (byte == '"' || byte == '\\') {
          out += '\\';
        }
        out += static_cast<char>(byte);
        break;
      default: {
        char escape[16];
        const int length = std::snprintf(escape, sizeof escape, "\\u{%x}", control);
        out.append(escape, static_cast<std::size_t>(length));
        break;
      }
    }
  }
  out += '"';
  return out;
}

}  // namespace orvanta::protocol
