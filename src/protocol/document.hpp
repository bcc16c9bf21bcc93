// The first reading phase: the top-level value with its command picked out, and of everything else
// only what the second phase can still need.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/request.hpp"
#include "protocol/value.hpp"

namespace orvanta::protocol {

enum class Tag { Connect, Disconnect, Status, State };

// The members of the object form other than "cmd", as the connect rules see them. Only the four
// field names can matter, so only their first string values are kept, and the first member those
// rules refuse; any other member is read for syntax and dropped. What a request costs in memory is
// then bounded by its few field texts, however many members it has.
struct ObjectBody {
  std::array<std::optional<std::string>, 4> fields;  // openvpn, config, auth, log
  std::optional<std::string> refusal;                // the second phase's fault, without a position
};

// The elements after the tag in the array form: how many there are, and the first four of them.
struct SequenceBody {
  std::size_t count = 0;
  std::array<Value, 4> head;
};

using Body = std::variant<ObjectBody, SequenceBody>;

struct Document {
  Tag tag = Tag::Status;
  Body body;
  // The object form's "token" member when it was given once, as a string.
  std::optional<std::string> token;
  std::size_t end = 0;  // offset just after the top-level value
};

// Reads the top-level value up to its end, stopping at the first syntax fault or first-phase schema
// fault; the bytes after the value are left for the caller.
[[nodiscard]] std::expected<Document, RequestError> read_document(std::string_view text);

}  // namespace orvanta::protocol
