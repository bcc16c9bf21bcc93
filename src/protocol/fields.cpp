// The second reading phase: the retained members interpreted for the named command.
#include "protocol/fields.hpp"

#include <string>

#include "protocol/error_position.hpp"

namespace orvanta::protocol {
namespace {

std::unexpected<RequestError> fault(std::string description) {
  return std::unexpected(error_without_position(std::move(description)));
}

std::string not_a_string(const Value& value) { return invalid_type(value.kind, value.text, "a string"); }

Connect make_connect(std::array<std::string, 4>& fields) {
  return Connect{std::move(fields[0]), std::move(fields[1]), std::move(fields[2]), std::move(fields[3])};
}

// After the last member, the first field in the order openvpn, config, auth, log that has no value is
// missing.
std::expected<HelperRequest, RequestError> connect_from_members(ObjectBody& members) {
  if (members.refusal) {
    return fault(std::move(*members.refusal));
  }
  std::array<std::string, 4> fields;
  for (std::size_t field = 0; field < fields.size(); ++field) {
    if (!members.fields[field]) {
      return fault("missing field `" + std::string(connect_fields[field]) + "`");
    }
    fields[field] = std::move(*members.fields[field]);
  }
  return make_connect(fields);
}

// Elements in order give openvpn, config, auth, log; each must be a string; exactly four.
std::expected<HelperRequest, RequestError> connect_from_elements(SequenceBody& elements) {
  std::array<std::string, 4> fields;
  for (std::size_t field = 0; field < fields.size(); ++field) {
    if (field == elements.count) {
      return fault("invalid length " + std::to_string(field) +
                   ", expected struct variant HelperRequest::Connect with 4 elements");
    }
    if (elements.head[field].kind != ValueKind::String) {
      return fault(not_a_string(elements.head[field]));
    }
    fields[field] = std::move(elements.head[field].text);
  }
  if (elements.count > fields.size()) {
    return fault("invalid length " + std::to_string(elements.count) + ", expected 4 elements in sequence");
  }
  return make_connect(fields);
}

// Disconnect, Status and State ignore an object body; their array form must hold nothing after the tag.
template <class Variant>
std::expected<HelperRequest, RequestError> without_fields(const Body& body) {
  if (const auto* elements = std::get_if<SequenceBody>(&body); elements && elements->count != 0) {
    return fault("invalid length " + std::to_string(elements->count) + ", expected 0 elements in sequence");
  }
  return Variant{};
}

}  // namespace

std::optional<std::size_t> connect_field(std::string_view key) {
  for (std::size_t field = 0; field < connect_fields.size(); ++field) {
    if (connect_fields[field] == key) {
      return field;
    }
  }
  return std::nullopt;
}

void take_connect_member(ObjectBody& body, std::size_t field, Value value) {
  if (body.refusal) {
    return;
  }
  if (body.fields[field]) {
    body.refusal = "duplicate field `" + std::string(connect_fields[field]) + "`";
  } else if (value.kind != ValueKind::String) {
    body.refusal = not_a_string(value);
  } else {
    body.fields[field] = std::move(value.text);
  }
}

std::expected<HelperRequest, RequestError> read_fields(Tag tag, Body& body) {
  switch (tag) {
    case Tag::Connect:
      if (auto* members = std::get_if<ObjectBody>(&body)) {
        return connect_from_members(*members);
      }
      return connect_from_elements(std::get<SequenceBody>(body));
    case Tag::Disconnect:
      return without_fields<Disconnect>(body);
    case Tag::Status:
      return without_fields<Status>(body);
    case Tag::State:
      return without_fields<State>(body);
  }
  return without_fields<Status>(body);
}

}  // namespace orvanta::protocol
