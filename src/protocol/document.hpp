// The first reading phase: the top-level value with its command picked out and the rest retained.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/request.hpp"
#include "protocol/value.hpp"

namespace orvanta::protocol {

enum class Tag { Connect, Disconnect, Status };

struct Member {
  std::string key;  // decoded
  Value value;
};

// The members other than "cmd" of the object form, or the elements after the tag of the array form,
// in document order.
using ObjectBody = std::vector<Member>;
using SequenceBody = std::vector<Value>;
using Body = std::variant<ObjectBody, SequenceBody>;

struct Document {
  Tag tag = Tag::Status;
  Body body;
  std::size_t end = 0;  // offset just after the top-level value
};

// Reads the top-level value up to its end, stopping at the first syntax fault or first-phase schema
// fault; the bytes after the value are left for the caller.
[[nodiscard]] std::expected<Document, RequestError> read_document(std::string_view text);

}  // namespace orvanta::protocol
