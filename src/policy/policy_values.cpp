// Reading the policy values, each with its type checked.
#include "policy/policy_values.hpp"

#include <windows.h>

#include <cstring>
#include <expected>

#include "common/error.hpp"
#include "common/utf16.hpp"

namespace orvanta::policy {

namespace {

struct RawValue {
  DWORD type = REG_NONE;
  std::u16string data;  // for REG_MULTI_SZ, UTF-16 units
  DWORD dword = 0;
};

// The value, nothing when it is not there (key or value), or the error that kept it from being read.
Result<std::optional<RawValue>> read_value(const PolicyValue& policy_value) {
  static const std::wstring key = to_wide(policy_key);
  const std::wstring name = to_wide(policy_value.name);
  for (;;) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                                  &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
      return std::nullopt;
    }
    if (status != ERROR_SUCCESS) {
      return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
    }
    RawValue value;
    value.type = type;
    std::u16string buffer((size + 1) / 2 + 1, u'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
    status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                          buffer.data(), &got);
    if (status == ERROR_MORE_DATA) {
      continue;  // it grew in between: ask again
    }
    if (status == ERROR_FILE_NOT_FOUND) {
      return std::nullopt;
    }
    if (status != ERROR_SUCCESS) {
      return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
    }
    value.type = type;
    if (type == REG_DWORD && got == sizeof(DWORD)) {
      std::memcpy(&value.dword, buffer.data(), sizeof(DWORD));
    }
    buffer.resize(got / sizeof(char16_t));
    value.data = std::move(buffer);
    return value;
  }
}

PathList read_path_list(const PolicyValue& policy_value) {
  PathList list;
  auto value = read_value(policy_value);
  if (!value) {
    list.state = PathList::State::Unusable;
    list.problem = "it cannot be read: " + error_text(value.error());
    return list;
  }
  if (!*value) {
    return list;
  }
  if ((*value)->type != REG_MULTI_SZ) {
    list.state = PathList::State::Unusable;
    list.problem = "it is not a REG_MULTI_SZ";
    return list;
  }
  list.state = PathList::State::Listed;
  list.entries = multi_string_entries((*value)->data);
  return list;
}

}  // namespace

std::vector<std::u16string> multi_string_entries(std::u16string_view data) {
  std::vector<std::u16string> entries;
  while (!data.empty()) {
    const std::size_t end = data.find(u'\0');
    const std::u16string_view entry = data.substr(0, end);
    if (entry.empty()) {
      break;
    }
    entries.emplace_back(entry);
    data = end == std::u16string_view::npos ? std::u16string_view{} : data.substr(end + 1);
  }
  return entries;
}

PathPolicy read_path_policy() {
  return PathPolicy{read_path_list(open_vpn_programs), read_path_list(config_directories),
                    read_path_list(log_directories)};
}

namespace {

// A switch's setting: nothing when it is not set, or why it cannot be used.
std::expected<std::optional<bool>, std::string> read_switch(const PolicyValue& policy_value) {
  const std::string name(policy_value.name);
  auto value = read_value(policy_value);
  if (!value) {
    return std::unexpected(name + " cannot be read: " + error_text(value.error()));
  }
  if (!*value) {
    return std::nullopt;
  }
  if ((*value)->type != REG_DWORD || (*value)->data.size() * sizeof(char16_t) != sizeof(DWORD) ||
      (*value)->dword > 1) {
    return std::unexpected(name + " is not a REG_DWORD of 0 or 1");
  }
  return (*value)->dword == 1;
}

}  // namespace

ClientPolicy read_client_policy() {
  ClientPolicy policy;
  auto require = read_switch(require_client_token);
  if (!require) {
    policy.problem = require.error();
  } else {
    policy.require_token = require->value_or(false);
  }
  auto groups = read_value(client_groups);
  if (!groups) {
    policy.problem = policy.problem.value_or("ClientGroups cannot be read: " + error_text(groups.error()));
  } else if (*groups) {
    if ((*groups)->type != REG_MULTI_SZ) {
      policy.problem = policy.problem.value_or("ClientGroups is not a REG_MULTI_SZ");
    } else {
      policy.groups = multi_string_entries((*groups)->data);
    }
  }
  return policy;
}

}  // namespace orvanta::policy

namespace orvanta::policy {

TcpEndpointPolicy read_tcp_endpoint_policy() {
  auto on = read_switch(tcp_endpoint);
  if (!on) {
    return {false, on.error()};
  }
  return {on->value_or(true), std::nullopt};
}

}  // namespace orvanta::policy
