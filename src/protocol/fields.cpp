// The second reading phase: the retained members interpreted for the named command.
#include "protocol/fields.hpp"

#include <array>
#include <optional>
#include <string>

#include "protocol/error_position.hpp"

namespace orvanta::protocol {
namespace {

constexpr std::array<std::string_view, 4> connect_fields = {"openvpn", "config", "auth", "log"};

std::unexpected<RequestError> fault(std::string description) {
  return std::unexpected(error_without_position(std::move(description)));
}

std::unexpected<RequestError> not_a_string(const Value& value) {
  return fault("invalid type: " + describe_kind(value) + ", expected a string");
}

Connect make_connect(std::array<std::string, 4>& fields) {
  return Connect{std::move(fields[0]), std::move(fields[1]), std::move(fields[2]), std::move(fields[3])};
}

// Members in document order; only the four field names count (case-sensitive), each at most once and
// only as a string. Then the first absent field in the order openvpn, config, auth, log is missing.
std::expected<HelperRequest, RequestError> connect_from_members(const ObjectBody& members) {
  std::array<std::optional<std::string>, 4> found;
  for (const Member& member : members) {
    std::size_t field = 0;
    while (field < connect_fields.size() && connect_fields[field] != member.key) {
      ++field;
    }
    if (field == connect_fields.size()) {
      continue;
    }
    if (found[field]) {
      return fault("duplicate field `" + member.key + "`");
    }
    if (member.value.kind != ValueKind::String) {
      return not_a_string(member.value);
    }
    found[field] = member.value.text;
  }
  std::array<std::string, 4> fields;
  for (std::size_t field = 0; field < found.size(); ++field) {
    if (!found[field]) {
      return fault("missing field `" + std::string(connect_fields[field]) + "`");
    }
    fields[field] = std::move(*found[field]);
  }
  return make_connect(fields);
}

// Elements in order give openvpn, config, auth, log; each must be a string; exactly four.
std::expected<HelperRequest, RequestError> connect_from_elements(const SequenceBody& elements) {
  std::array<std::string, 4> fields;
  for (std::size_t field = 0; field < fields.size(); ++field) {
    if (field == elements.size()) {
      return fault("invalid length " + std::to_string(field) +
                   ", expected struct variant HelperRequest::Connect with 4 elements");
    }
    if (elements[field].kind != ValueKind::String) {
      return not_a_string(elements[field]);
    }
    fields[field] = elements[field].text;
  }
  if (elements.size() > fields.size()) {
    return fault("invalid length " + std::to_string(elements.size()) + ", expected 4 elements in sequence");
  }
  return make_connect(fields);
}

// Disconnect and Status ignore an object body; their array form must hold nothing after the tag.
template <class Variant>
std::expected<HelperRequest, RequestError> without_fields(const Body& body) {
  if (const auto* elements = std::get_if<SequenceBody>(&body); elements && !elements->empty()) {
    return fault("invalid length " + std::to_string(elements->size()) + ", expected 0 elements in sequence");
  }
  return Variant{};
}

}  // namespace

std::expected<HelperRequest, RequestError> read_fields(Tag tag, const Body& body) {
  switch (tag) {
    case Tag::Connect:
      if (const auto* members = std::get_if<ObjectBody>(&body)) {
        return connect_from_members(*members);
      }
      return connect_from_elements(std::get<SequenceBody>(body));
    case Tag::Disconnect:
      return without_fields<Disconnect>(body);
    case Tag::Status:
      return without_fields<Status>(body);
  }
  return without_fields<Status>(body);
}

}  // namespace orvanta::protocol
