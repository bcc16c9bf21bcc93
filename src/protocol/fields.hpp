// The second reading phase: the body interpreted for the named command.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string_view>

#include "protocol/document.hpp"
#include "protocol/request.hpp"

namespace orvanta::protocol {

inline constexpr std::array<std::string_view, 4> connect_fields = {"openvpn", "config", "auth", "log"};

// The index of a connect field name (case-sensitive), or nothing for any other key.
[[nodiscard]] std::optional<std::size_t> connect_field(std::string_view key);

// Applies the connect rules to one member of the object form, in document order: a field given a
// second time, or given a value that is not a string, is the body's refusal; the first string value
// of a field is kept. Once the body holds a refusal, later members change nothing.
void take_connect_member(ObjectBody& body, std::size_t field, Value value);

// Errors of this phase carry no position. The body's texts are moved into the request.
[[nodiscard]] std::expected<HelperRequest, RequestError> read_fields(Tag tag, Body& body);

}  // namespace orvanta::protocol
