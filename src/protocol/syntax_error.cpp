// Syntax faults: the words for each of the JSON reader's error codes, and where they point.
#include "protocol/syntax_error.hpp"

#include "protocol/error_position.hpp"
#include "protocol/json_text.hpp"

namespace orvanta::protocol {
namespace {

constexpr const char* eof_in_value = "EOF while parsing a value";
constexpr const char* eof_in_string = "EOF while parsing a string";
constexpr const char* eof_in_object = "EOF while parsing an object";
constexpr const char* eof_in_list = "EOF while parsing a list";
constexpr const char* control_in_string = "control character (\\u0000-\\u001F) found while parsing a string";

bool is_lower_letter(char c) { return c >= 'a' && c <= 'z'; }

std::size_t backslashes_before(std::string_view text, std::size_t at) {
  std::size_t count = 0;
  while (count < at && text[at - count - 1] == '\\') {
    ++count;
  }
  return count;
}

// The UTF-16 unit of the four hex digits at text[at..at+4), when they lie before limit.
std::optional<unsigned> hex_unit(std::string_view text, std::size_t at, std::size_t limit) {
  if (at + 4 > limit) {
    return std::nullopt;
  }
  unsigned unit = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    unit = unit * 16 + digit;
  }
  return unit;
}

bool is_leading_surrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A value that could not start at `at`: what the reader was in the middle of tells the fault.
//   "-x" -> invalid number; "nul]" -> expected `null`; "[1,]" -> trailing comma; "{\"a\":}" -> expected value
const char* value_fault(std::string_view text, std::size_t at) {
  const char previous = at > 0 ? text[at - 1] : '\0';
  if (previous == '-') {
    return "invalid number";
  }
  if (is_lower_letter(previous)) {
    // Only the letters of null, true or false can stand right before the point of a value fault.
    std::size_t start = at - 1;
    while (start > 0 && is_lower_letter(text[start - 1])) {
      --start;
    }
    switch (text[start]) {
      case 'n':
        return "expected `null`";
      case 't':
        return "expected `true`";
      default:
        return "expected `false`";
    }
  }
  if (text[at] == ']') {
    std::size_t before = at;
    while (before > 0 && is_json_white_space(text[before - 1])) {
      --before;
    }
    if (before > 0 && text[before - 1] == ',') {
      return "trailing comma";
    }
  }
  return "expected value";
}

const char* describe(std::string_view text, rapidjson::ParseErrorCode code, std::size_t at, bool at_end) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
      return at_end ? eof_in_value : "expected value";
    case kParseErrorValueInvalid:
      return at_end ? eof_in_value : value_fault(text, at);
    case kParseErrorObjectMissName:
      // An empty object is read without asking for a name, so a '}' here follows a comma.
      return at_end ? eof_in_object : text[at] == '}' ? "trailing comma" : "key must be a string";
    case kParseErrorObjectMissColon:
      return at_end ? eof_in_object : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? eof_in_object : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? eof_in_list : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return at_end ? eof_in_string : "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return at_end ? eof_in_string : "lone leading surrogate in hex escape";
    case kParseErrorStringEscapeInvalid:
      // Raised both for a bad byte after a backslash and for a raw control character.
      if (at_end) {
        return eof_in_string;
      }
      return backslashes_before(text, at) % 2 == 1 ? "invalid escape" : control_in_string;
    case kParseErrorStringMissQuotationMark:
      // The reader stops at a '\0'; before the end of the text that is a raw NUL byte.
      return at_end ? eof_in_string : control_in_string;
    case kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in string";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return at_end ? eof_in_value : "invalid number";
    default:
      // Root-not-singular, comments and termination are not produced with the flags and handler we use.
      return "invalid JSON";
  }
}

bool is_string_fault(rapidjson::ParseErrorCode code) {
  using namespace rapidjson;
  return code == kParseErrorStringUnicodeEscapeInvalidHex ||
         code == kParseErrorStringUnicodeSurrogateInvalid || code == kParseErrorStringEscapeInvalid ||
         code == kParseErrorStringMissQuotationMark || code == kParseErrorStringInvalidEncoding;
}

}  // namespace

// The point is just after the offending byte, or the end of the text when the text ended too early:
//   "[1 2]" -> expected `,` or `]` at column 4;   "[1," -> EOF while parsing a list at column 3.
// A lone trailing surrogate earlier in the same string comes first, as it stands further left.
RequestError syntax_error(std::string_view text, rapidjson::ParseErrorCode code, std::size_t offending) {
  const bool at_end = offending >= text.size();
  if (is_string_fault(code)) {
    if (auto earlier = lone_trailing_surrogate(text, at_end ? text.size() : offending)) {
      return *earlier;
    }
  }
  return error_at(describe(text, code, offending, at_end), text, at_end ? text.size() : offending + 1);
}

bool holds_surrogate(std::string_view decoded) {
  // U+D800..U+DFFF encode as ED A0..BF xx; valid raw text never holds them.
  for (std::size_t i = 0; i + 1 < decoded.size(); ++i) {
    if (static_cast<unsigned char>(decoded[i]) == 0xED &&
        static_cast<unsigned char>(decoded[i + 1]) >= 0xA0) {
      return true;
    }
  }
  return false;
}

// 1. Walk back from limit to the opening quote: the first '"' with an even run of backslashes before
//    it (inside a string a quote is only ever escaped; outside one there are no backslashes).
// 2. Walk forward over the escapes; a \uD800..\uDBFF followed by \uDC00..\uDFFF is a pair.
// 3. The first \uDC00..\uDFFF that is not the second half of a pair is the fault; the point is just
//    after its last hex digit: "\"a\\udc00\"" -> column 8.
// A leading surrogate without its pair is reported by the reader itself, so the walk stops there.
std::optional<RequestError> lone_trailing_surrogate(std::string_view text, std::size_t limit) {
  std::size_t open = limit;
  while (open > 0) {
    --open;
    if (text[open] == '"' && backslashes_before(text, open) % 2 == 0) {
      break;
    }
  }
  if (open >= limit || text[open] != '"') {
    return std::nullopt;
  }
  for (std::size_t i = open + 1; i < limit;) {
    if (text[i] != '\\') {
      ++i;
      continue;
    }
    if (i + 1 >= limit) {
      break;
    }
    if (text[i + 1] != 'u') {
      i += 2;
      continue;
    }
    const auto unit = hex_unit(text, i + 2, limit);
    if (!unit) {
      break;
    }
    if (is_trailing_surrogate(*unit)) {
      return error_at("lone trailing surrogate in hex escape", text, i + 6);
    }
    if (is_leading_surrogate(*unit)) {
      const auto next = i + 12 <= limit && text[i + 6] == '\\' && text[i + 7] == 'u'
                            ? hex_unit(text, i + 8, limit)
                            : std::nullopt;
      if (!next || !is_trailing_surrogate(*next)) {
        break;
      }
      i += 12;
      continue;
    }
    i += 6;
  }
  return std::nullopt;
}

}  // namespace orvanta::protocol
