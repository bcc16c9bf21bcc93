// A JSON value as the request reader keeps it: its kind and what an error text or a field needs of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvanta::protocol {

enum class ValueKind { Null, Boolean, UnsignedInteger, SignedInteger, FloatingPoint, String, Sequence, Map };

// Nothing below the top of a value is ever shown or used, so arrays and objects keep only their kind.
struct Value {
  ValueKind kind = ValueKind::Null;
  // String: the decoded content. Boolean and numbers: the value as an error text shows it
  // ("true", "-5", "1.5"). Null, Sequence, Map: empty.
  std::string text;
};

// The kind as an error text names it: "null", "boolean `true`", "integer `1`", "floating point `1.5`",
// "string \"x\"", "sequence", "map".
[[nodiscard]] std::string describe_kind(const Value& value);

// "invalid type: {kind}, expected {expected}", made in one piece: for a long string the text is several
// times its length, and a copy of it for every part would be several times that again.
[[nodiscard]] std::string invalid_type(ValueKind kind, std::string_view text, std::string_view expected);

// Classifies a number literal that the JSON reader accepted. Empty when the literal is beyond the
// range of a double.
[[nodiscard]] std::optional<Value> number_value(std::string_view literal);

// The shortest text that reads back as the same double: 2.0, 1.5, -0.0, 0.00001, 1e+16, 1.5e-7.
[[nodiscard]] std::string render_double(double value);

// A decoded string in double quotes with backslash, double quote and control characters escaped.
[[nodiscard]] std::string quote_string(std::string_view content);

}  // namespace orvanta::protocol
