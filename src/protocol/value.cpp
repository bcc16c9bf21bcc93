// How a value's kind is named in an error text, and how a string is shown there.
#include "protocol/value.hpp"

#include <cstddef>

namespace orvanta::protocol {

namespace {

// The form of one character of a shown string: its escape, or nothing when it stands as it is.
//   1. backslash and double quote get a backslash: a"b -> "a\"b"
//   2. tab, line feed, carriage return and U+0000 have short forms: \t \n \r \0
//   3. every other control character, C0, DEL and C1, is written \u{hex}: ESC -> \u{1b}, U+0085 -> \u{85}
//   4. everything else, other non-ASCII characters included, stays as it is.
// `length` is how many bytes of the content the character takes (two for a C1 control).
struct Shown {
  std::size_t length = 1;
  char escape[8] = {};
  std::size_t escape_length = 0;
};

Shown show_character(std::string_view content, std::size_t i) {
  Shown shown;
  const auto byte = static_cast<unsigned char>(content[i]);
  unsigned control = 0x100;  // none
  if (byte < 0x20 || byte == 0x7F) {
    control = byte;
  } else if (byte == 0xC2 && i + 1 < content.size()) {
    // C1 controls U+0080..U+009F are encoded C2 80..C2 9F.
    const auto next = static_cast<unsigned char>(content[i + 1]);
    if (next >= 0x80 && next <= 0x9F) {
      control = next;
      shown.length = 2;
    }
  }
  const auto set = [&shown](std::string_view escape) {
    escape.copy(shown.escape, escape.size());
    shown.escape_length = escape.size();
  };
  switch (control) {
    case '\t':
      set("\\t");
      break;
    case '\n':
      set("\\n");
      break;
    case '\r':
      set("\\r");
      break;
    case 0:
      set("\\0");
      break;
    case 0x100:
      if (byte == '"') {
        set("\\\"");
      } else if (byte == '\\') {
        set("\\\\");
      }
      break;
    default: {
      static constexpr char hex[] = "0123456789abcdef";
      char escape[8] = {'\\', 'u', '{'};
      std::size_t length = 3;
      if (control >= 0x10) {
        escape[length++] = hex[control >> 4];
      }
      escape[length++] = hex[control & 0x0F];
      escape[length++] = '}';
      set(std::string_view(escape, length));
      break;
    }
  }
  return shown;
}

template <class Visit>
void for_each_shown(std::string_view content, Visit visit) {
  for (std::size_t i = 0; i < content.size();) {
    const Shown shown = show_character(content, i);
    visit(content.substr(i, shown.length), shown);
    i += shown.length;
  }
}

std::size_t quoted_size(std::string_view content) {
  std::size_t size = 2;
  for_each_shown(content, [&size](std::string_view raw, const Shown& shown) {
    size += shown.escape_length != 0 ? shown.escape_length : raw.size();
  });
  return size;
}

void append_quoted(std::string& out, std::string_view content) {
  out += '"';
  for_each_shown(content, [&out](std::string_view raw, const Shown& shown) {
    if (shown.escape_length != 0) {
      out.append(shown.escape, shown.escape_length);
    } else {
      out += raw;
    }
  });
  out += '"';
}

}  // namespace

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

std::string invalid_type(ValueKind kind, std::string_view text, std::string_view expected) {
  constexpr std::string_view head = "invalid type: ";
  constexpr std::string_view middle = ", expected ";
  if (kind != ValueKind::String) {
    return std::string(head) + describe_kind(Value{kind, std::string(text)}) + std::string(middle) +
           std::string(expected);
  }
  constexpr std::string_view string_kind = "string ";
  std::string out;
  out.reserve(head.size() + string_kind.size() + quoted_size(text) + middle.size() + expected.size());
  out += head;
  out += string_kind;
  append_quoted(out, text);
  out += middle;
  out += expected;
  return out;
}

std::string quote_string(std::string_view content) {
  std::string out;
  out.reserve(quoted_size(content));
  append_quoted(out, content);
  return out;
}

}  // namespace orvanta::protocol
